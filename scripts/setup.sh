#!/usr/bin/env bash
# Installs the Debian packages the engine and its tests need, if any is missing.
# Works as root or as a user with sudo.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  librtaudio-dev libasound2-dev libjack-jackd2-dev libpulse-dev libpipewire-0.3-dev libzita-resampler-dev nlohmann-json3-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  pulseaudio pulseaudio-utils jackd2 pipewire pipewire-pulse wireplumber dbus python3 tmux
  clang libclang-rt-14-dev
  dpkg-dev file help2man lintian
  libcpp-httplib-dev chromium chromium-driver python3-selenium
)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi
echo "Installing: ${missing[*]}"
# jackd2 asks whether to enable real-time scheduling; answer for it.
echo "jackd2 jackd/tweak_rt_limits boolean false" | "${SUDO[@]}" debconf-set-selections 2>/dev/null || true
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
