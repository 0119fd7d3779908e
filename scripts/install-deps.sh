#!/usr/bin/env bash
# Installs the Debian packages one purpose needs; each purpose includes the one before it:
#   run      build and run the window and glintwise-convert (make run, make build)
#   package  also build the Debian package (make package)
#   test     also the tests, fuzzers and benchmarks: peers, reference files, tools (the default;
#            make test, make fuzz, make bench)
# Idempotent: packages already present are skipped, and apt runs only when something is missing.
set -euo pipefail

purpose=${1:-test}

RUN_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  libgl-dev libxkbcommon-dev
  zlib1g-dev libpng-dev libjpeg62-turbo-dev libtiff-dev libopenjp2-7-dev
  libmng-dev libraw-dev libcairo2-dev libcharls-dev
  # the 12-bit IJG library for 12-bit JPEG frames
  libgdcm-dev
  # movies (MP4, WebM): encoders and containers
  libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
  # glyphs for the window, the Chinese interface included
  fonts-noto-cjk fonts-dejavu-core
)
PACKAGE_PACKAGES=(
  # dpkg-shlibdeps works out the run-time dependencies; CPack needs file to find the binaries
  dpkg-dev file
  # the man pages are made from the programs' --help
  help2man
)
TEST_PACKAGES=(
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev
  # running the window headless, screenshots
  xvfb xauth x11-apps xdotool imagemagick
  # peers and reference files used by the tests
  python3 python3-pil python3-numpy python3-pydicom
  netpbm libtiff-tools pngcheck jpeginfo libjpeg-turbo-progs libopenjp2-tools
  libimage-exiftool-perl dcmtk medcon python3-tifffile libraw-bin
  libgdcm-tools python3-gdcm
  golang-1.19-src golang-golang-x-image-dev checkit-tiff
  # metafiles: Inkscape writes them, librsvg, libwmf (with its fonts) and emf2svg render them
  inkscape librsvg2-bin libwmf-bin fonts-urw-base35 emf2svg
  openjph-tools
  # ffprobe and ffmpeg check our movies and stand beside them in the benchmark
  ffmpeg
  # the package installed into a fresh Debian root (scripts/try-package.sh)
  debootstrap
  # benchmarks
  hyperfine time
)

case $purpose in
  run) PACKAGES=("${RUN_PACKAGES[@]}") ;;
  package) PACKAGES=("${RUN_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}") ;;
  test) PACKAGES=("${RUN_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  *)
    echo "usage: install-deps.sh [run|package|test]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

# Node.js may come from elsewhere than Debian (its npm then conflicts with Debian's npm).
if [ "$purpose" = test ] && ! command -v npm >/dev/null 2>&1; then
  missing+=(nodejs npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

[ "$purpose" = test ] || exit 0

# Reference files shipped in npm packages (BMP, TGA and EXIF samples), kept out of the repository.
NPM_DIR="${GLINTWISE_NPM_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/npm}"
if [ ! -d "$NPM_DIR/node_modules/bmp-js" ] || [ ! -d "$NPM_DIR/node_modules/tga" ] || [ ! -d "$NPM_DIR/node_modules/exif" ]; then
  mkdir -p "$NPM_DIR"
  if ! (cd "$NPM_DIR" && npm install --no-audit --no-fund --silent bmp-js tga exif >/dev/null); then
    # Under CI's switch the tests that need these packages would fail anyway: say why here.
    if [ -n "${GLINTWISE_REQUIRE_PEERS:-}" ] && [ "${GLINTWISE_REQUIRE_PEERS}" != 0 ]; then
      echo "install-deps: npm packages bmp-js, tga, exif could not be installed" >&2
      exit 1
    fi
    echo "install-deps: npm packages unavailable; tests that need them will skip" >&2
  fi
fi
