# Debian packages the build, the tests and the demo need, and a function that installs the
# missing ones. Sourced by scripts/test and scripts/demo.
kesta_packages=(
  cmake ninja-build g++ clang-19 libclang-rt-19-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libmsgpack-cxx-dev
  g++-mingw-w64-x86-64-posix wine64 wine
  procps util-linux git clang-format
  wixl # builds the MSI installer (Debian 12 splits it out of msitools)
  msitools faketime # set the installer's package code and date (packaging/msi.cmake)
  python3           # writes the zip (packaging/repack-zip); the scripts/check-* readers
  osslsigncode openssl # sign and verify the packages; the test's certificates
)

# Installs what is missing (apt-get update only then); LOG_DIR receives apt's output.
kesta_install_packages() {
  local log_dir=$1 missing=() pkg
  for pkg in "${kesta_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  if ((${#missing[@]} == 0)); then
    echo "all packages present"
    return 0
  fi
  echo "installing: ${missing[*]}"
  local sudo=()
  if ((EUID != 0)); then
    sudo=(sudo)
  fi
  mkdir -p "$log_dir"
  export DEBIAN_FRONTEND=noninteractive
  if ! "${sudo[@]}" apt-get update -q >"$log_dir/apt.log" 2>&1 ||
    ! "${sudo[@]}" apt-get install -y -q "${missing[@]}" >"$log_dir/apt-install.log" 2>&1; then
    tail -n 30 "$log_dir"/apt*.log
    return 1
  fi
}
