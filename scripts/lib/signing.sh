# shellcheck shell=bash
# Throwaway certificates for testing the signed release, and the checks of its signatures.
# Sourced by scripts/test; every function prints what went wrong and returns non-zero on failure.

# Makes in DIR a certificate authority (ca.pem), a code-signing certificate it issued with its
# key in signer.p12 (password in password.txt), and a time-stamping certificate (tsa.pem,
# tsa.key) with the openssl configuration of a time-stamping authority (tsa.cnf). Nothing of it
# is worth keeping: the keys are made anew on every run.
kesta_make_test_certificates() {
  local dir=$1
  rm -rf "$dir" && mkdir -p "$dir" || return 1
  (
    set -e
    cd "$dir"
    openssl rand -hex 16 >password.txt
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
      -subj "/CN=kesta_service test CA" -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign"
    issue() { # NAME SUBJECT EXTENDED-KEY-USAGE
      openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$2"
      printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
        "extendedKeyUsage=critical,$3" >"$1.ext"
      openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile "$1.ext" -out "$1.pem"
    }
    issue signer "kesta_service test signer" codeSigning
    issue tsa "kesta_service test time stamps" timeStamping
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem \
      -passout file:password.txt -out signer.p12
    cat >tsa.cnf <<EOF
[tsa]
default_tsa = tsa_config
[tsa_config]
dir = .
serial = ./tsa.serial
crypto_device = builtin
signer_cert = ./tsa.pem
signer_key = ./tsa.key
signer_digest = sha256
certs = ./ca.pem
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
    echo 01 >tsa.serial
  ) >"$dir/openssl.log" 2>&1 || {
    tail -n 20 "$dir/openssl.log"
    return 1
  }
}

# Checks with osslsigncode that FILE carries a valid signature chaining to the authority
# CA, with a valid time stamp when TIMESTAMPED is "timestamped"; prints one line.
kesta_verify_signature() {
  local ca=$1 file=$2 timestamped=${3:-} output
  if ! output=$(osslsigncode verify -CAfile "$ca" -TSA-CAfile "$ca" -in "$file" 2>&1); then
    echo "FAIL: $(basename "$file") has no valid signature:" \
      "$(grep -iE 'fail|error|no signature' <<<"$output" | head -n 3 | tr '\n' ' ')"
    return 1
  fi
  if [[ $timestamped == timestamped ]] &&
    ! grep -q '^Timestamp Server Signature verification: ok' <<<"$output"; then
    echo "FAIL: $(basename "$file") is signed but carries no valid time stamp"
    return 1
  fi
  local signer timestamp=""
  signer=$(grep -m1 -E '^[[:space:]]+Subject: ' <<<"$output" | sed 's/^[[:space:]]*Subject: //')
  if grep -q '^Timestamp Server Signature verification: ok' <<<"$output"; then
    timestamp=", time stamp of $(grep -m1 '^[[:space:]]*Timestamp time: ' <<<"$output" |
      sed 's/^[[:space:]]*Timestamp time: //') verified"
  fi
  echo "ok: $(basename "$file"): signature verified, signed by $signer$timestamp"
}
