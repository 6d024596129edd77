#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail

PKGS=(
  # build
  build-essential cmake pkg-config clang libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # cross-build for the camera's CPU (ARMv5TE, soft float) and its test run:
  # the armel toolchain, GoogleTest sources to build for it, qemu-arm
  crossbuild-essential-armel googletest qemu-user
  # host media platform: H.264 and AAC encoders, scene from a video file
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libx264-dev
  # real clients used by the integration tests
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-libav
  # benchmark peers
  python3-gi gir1.2-gst-rtsp-server-1.0 gir1.2-gstreamer-1.0 libopencv-dev
  # footage-continuity benchmark: the camera card's file system on a loop device
  dosfstools
  # motion_detect snapshots
  libpng-dev
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
