#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages that are missing for a task:
#   install-deps.sh convert   build the native programs and make a sample with SoX
#   install-deps.sh windows   build the Windows programs and run them under Wine
#   install-deps.sh test      everything the test suites need (native and Windows under Wine)
#   install-deps.sh screenshots  the test suites' packages and Wine's own fonts
#   install-deps.sh fuzz      build and run the libFuzzer harnesses (clang and its runtimes)
set -euo pipefail

convert_packages=(cmake ninja-build g++ make sox libsox-fmt-base)
# fonts-wine holds Wine's Tahoma and Marlett, which draws the title bars' buttons (without it
# they show as "0 1 r"); the tests do not need it.
windows_packages=(cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 fonts-ipafont-gothic
                  fonts-wine)
# procps: pkill, for the many-machines test's stopping of a whole session.
test_packages=("${convert_packages[@]}" libgtest-dev g++-mingw-w64-x86-64-posix wine wine64 ffmpeg
               xvfb xauth fonts-ipafont-gothic imagemagick parallel procps)
screenshots_packages=("${test_packages[@]}" fonts-wine)
fuzz_packages=(cmake ninja-build clang libclang-rt-dev)

case "${1:-convert}" in
    convert) wanted=("${convert_packages[@]}") ;;
    windows) wanted=("${windows_packages[@]}") ;;
    test) wanted=("${test_packages[@]}") ;;
    screenshots) wanted=("${screenshots_packages[@]}") ;;
    fuzz) wanted=("${fuzz_packages[@]}") ;;
    *) echo "usage: $0 convert|windows|test|screenshots|fuzz" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
