# Installs the Debian packages named as arguments when any of them is missing.
# Sourced by ./run and ./test.

ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing packages: ${missing[*]} (install them as root: apt-get install ${missing[*]})" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  echo "Installing ${missing[*]} ..." >&2
  export DEBIAN_FRONTEND=noninteractive
  if ! "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; then
    "${sudo[@]}" apt-get update -qq >/dev/null
    "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config zlib1g-dev libminizip-dev libdeflate-dev libisal-dev)
TEST_PACKAGES=(libgtest-dev tmux screen unzip p7zip-full libarchive-tools python3 procps util-linux
               dpkg-dev file lintian mandoc exfat-fuse exfatprogs)
