# The armhf cross build's tools and sysroot. Sourced by scripts/test.
#
# The sysroot is made of Debian's armhf .debs, unpacked with dpkg-deb, not
# installed through dpkg: a multiarch install breaks whenever the amd64 and
# armhf builds of a shared library differ by one version in the archive. apt
# resolves the armhf dependencies in a private state of its own, so the
# machine's package configuration is left untouched.

ZELM_CROSS_PACKAGES=(g++-arm-linux-gnueabihf qemu-user dpkg-dev)

# What the build and the tests link or include, for armhf; apt adds the rest.
ZELM_ARMHF_ROOT_PACKAGES=(
  libc6-dev libstdc++-12-dev libdbus-1-dev libgtest-dev libgmock-dev
  nlohmann-json3-dev libcli11-dev libc-ares-dev libldns-dev
)

# Returns 3 with a one-line reason, like the sysroot, when apt cannot get them.
zelm_install_cross_deps() {
  local ZELM_PACKAGES=("${ZELM_CROSS_PACKAGES[@]}")
  zelm_install_deps >/dev/null 2>&1 && return 0
  echo "armhf check skipped: apt-get could not install ${ZELM_CROSS_PACKAGES[*]}" >&2
  return 3
}

# Runs apt-get or apt-cache ($1) for armhf only, with its lists, cache and an
# empty package status under STATE ($2).
zelm_armhf_apt() { # apt-get|apt-cache STATE ARGS...
  local tool=$1 state=$2
  shift 2
  "$tool" -o APT::Architecture=armhf -o APT::Architectures::=armhf \
    -o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status" \
    -o Dir::Cache="$state/cache" -o Debug::NoLocking=1 "$@"
}

# Makes SYSROOT hold the armhf libraries and headers of the root packages and
# everything they depend on; done once, then kept. When the archive cannot
# deliver them it says so in one line on stderr and returns 3.
zelm_armhf_sysroot() { # SYSROOT
  local sysroot=$1 state="$1.apt" stamp="$1/.zelm-sysroot"
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${ZELM_ARMHF_ROOT_PACKAGES[*]}" ] && return 0
  rm -rf "$sysroot" "$state"
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs" "$sysroot"
  touch "$state/status"

  # An index that fails (a mirror in sync) leaves the others in use; the
  # resolution below says whether they are enough.
  zelm_armhf_apt apt-get "$state" update -qq >"$state/update.log" 2>&1 || true
  local packages
  packages=$(zelm_armhf_apt apt-get "$state" install -s --no-install-recommends \
    "${ZELM_ARMHF_ROOT_PACKAGES[@]}" 2>"$state/resolve.log" | awk '$1 == "Inst" { print $2 }') || packages=""
  if [ -z "$packages" ]; then
    echo "armhf check skipped: the armhf package index could not be fetched: $(grep -h -E '^(E|W):' "$state/resolve.log" "$state/update.log" | head -n2 | paste -sd';')" >&2
    return 3
  fi
  # shellcheck disable=SC2086 # one word per package
  if ! (cd "$state/debs" && zelm_armhf_apt apt-get "$state" download -qq $packages) >"$state/download.log" 2>&1; then
    echo "armhf check skipped: the armhf packages could not be downloaded: $(grep -h -E '^(E|W):' "$state/download.log" | head -n1)" >&2
    return 3
  fi
  local deb
  for deb in "$state"/debs/*.deb; do
    dpkg-deb -x "$deb" "$sysroot" || return 1
  done
  # Absolute links (lib/foo.so -> /lib/...) must stay inside the sysroot.
  local link
  while IFS= read -r link; do
    ln -sfn "$sysroot$(readlink "$link")" "$link"
  done < <(find "$sysroot" -type l -lname '/*')
  echo "${ZELM_ARMHF_ROOT_PACKAGES[*]}" >"$stamp"
  rm -rf "$state"
}
