#!/usr/bin/env bash
# Builds the Debian package from a build folder into a scratch folder and checks it: its file
# list, its control fields (run-time libraries found by shlibdeps, no test peer), and, unpacked,
# that both programs run, the man pages say what --help says and the bash completion offers
# the converter's options and values.
#   packaging/check-package.sh BUILD_DIR
# Exit 77 (CTest's skip) when a packaging tool is missing, unless GLINTWISE_REQUIRE_PEERS is set.
set -uo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)

for tool in cpack dpkg-deb dpkg-shlibdeps file help2man; do
  command -v "$tool" >/dev/null 2>&1 && continue
  echo "check-package: $tool is missing (scripts/install-deps.sh package installs it)"
  [ -n "${GLINTWISE_REQUIRE_PEERS:-}" ] && [ "$GLINTWISE_REQUIRE_PEERS" != 0 ] && exit 1
  exit 77
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if ! (cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb=$work/out/glintwise_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
  ls "$work/out"
  echo "FAIL: no glintwise_${version}_${arch}.deb"
  exit 1
fi

# Files: both programs, the style sheet and its pictures, the menu entry and its icon, the
# man pages and the completion, and nothing else (no test program, nothing outside /usr).
dpkg-deb -c "$deb" | awk '{ print $1, $2, $NF }' >"$work/list"
files=$(awk '$1 !~ /^d/ { print $3 }' "$work/list" | sed 's|^\./|/|' | sort)
expected=(
  /usr/bin/glintwise /usr/bin/glintwise-convert
  /usr/share/glintwise/bg.bmp
  /usr/share/applications/glintwise.desktop
  /usr/share/icons/hicolor/256x256/apps/glintwise.png
  /usr/share/man/man1/glintwise.1.gz /usr/share/man/man1/glintwise-convert.1.gz
  /usr/share/bash-completion/completions/glintwise-convert
)
for picture in "$source_dir"/resources/images/*.png; do
  expected+=("/usr/share/glintwise/images/$(basename "$picture")")
done
extra=$(comm -23 <(echo "$files") <(printf '%s\n' "${expected[@]}" | sort))
missing=$(comm -13 <(echo "$files") <(printf '%s\n' "${expected[@]}" | sort))
[ -z "$missing" ] || fail "missing from the package: $missing"
[ -z "$extra" ] || fail "not meant for the package: $extra"
awk '$2 != "root/root" { print }' "$work/list" | grep -q . && fail "files not owned by root"
grep -E '^-rwxr-xr-x .*/usr/bin/glintwise(-convert)?$' "$work/list" | wc -l | grep -qx 2 ||
  fail "programs not executable by all"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = glintwise ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Recommends)" = fonts-noto-cjk ] || fail "Recommends: $(field Recommends)"
for name in Maintainer Description Section Homepage; do
  [ -n "$(field "$name")" ] || fail "no $name"
done
depends=$(field Depends)
depends_names=$(sed 's/ ([^)]*)//g; s/, /\n/g' <<<"$depends")
for library in libc6 libstdc++6 libqt6widgets6 libqt6gui6 libpng16-16 libtiff6 libopenjp2-7 \
  libraw20 libmng1 libcairo2 qt6-qpa-plugins; do
  grep -qxF "$library" <<<"$depends_names" || fail "Depends lacks $library: $depends"
done
# Test peers and build tools never become run-time dependencies.
if grep -qiE 'dcmtk|inkscape|golang|nodejs|npm|gtest|gmock|python|imagemagick|-dev$' <<<"$depends_names"; then
  fail "Depends names a test or build package: $depends"
fi

# Unpacked, the programs run and find each other's files.
dpkg-deb -x "$deb" "$work/root"
bin=$work/root/usr/bin
# --version needs no display.
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin/glintwise" --version)" = "glintwise $version" ] ||
  fail "glintwise --version"
[ "$("$bin/glintwise-convert" --version)" = "glintwise-convert $version" ] ||
  fail "glintwise-convert --version"
file -L "$bin/glintwise" "$bin/glintwise-convert" | grep -q "not stripped" && fail "programs not stripped"
printf 'P5\n3 2\n255\n\x00\x40\x80\xc0\xff\x10' >"$work/grey.pgm"
"$bin/glintwise-convert" -o "$work/grey.png" "$work/grey.pgm" >/dev/null 2>&1 &&
  [ "$(head -c 8 "$work/grey.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] ||
  fail "the packaged glintwise-convert did not convert a PGM to PNG"
grep -qx 'Exec=glintwise %f' "$work/root/usr/share/applications/glintwise.desktop" || fail "desktop Exec"
grep -qx 'Icon=glintwise' "$work/root/usr/share/applications/glintwise.desktop" || fail "desktop Icon"

# Man pages: made from --help, so every long option of the converter is in its page.
page=$(zcat "$work/root/usr/share/man/man1/glintwise-convert.1.gz" | sed 's/\\-/-/g')
grep -q '^\.TH GLINTWISE-CONVERT "1"' <<<"$page" || fail "man page header"
for option in $("$bin/glintwise-convert" --help | grep -oE '^ +(-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+'); do
  grep -q -- "$option" <<<"$page" || fail "man page lacks $option"
done
zcat "$work/root/usr/share/man/man1/glintwise.1.gz" | grep -q '^\.TH GLINTWISE "1"' || fail "glintwise man page"

# Completion: what Tab offers after a command line (its last word is the one completed);
# "=" compares the whole offer, "~" wants the words listed among it, "!" none of them.
mkdir -p "$work/files/series1"
offers() {
  (cd "$work/files" && PATH="$bin:$PATH" bash -c 'source "$1"; shift
    COMP_WORDS=(glintwise-convert "$@"); COMP_CWORD=$#; _glintwise_convert; echo "${COMPREPLY[*]}"' \
    _ "$work/root/usr/share/bash-completion/completions/glintwise-convert" "$@")
}
check_completion() {
  local how=$1 words=$2 got word
  shift 2
  got=$(offers "$@")
  if [ "$how" = "=" ]; then
    [ "$got" = "$words" ] || fail "completion of '$*': '$got', expected '$words'"
    return
  fi
  for word in $words; do
    case " $got " in
      *" $word "*) [ "$how" = "~" ] || fail "completion of '$*' offers $word: '$got'" ;;
      *) [ "$how" = "!" ] || fail "completion of '$*' lacks $word: '$got'" ;;
    esac
  done
}
check_completion = "--format" --form
check_completion = "--voi --voi-lut-index" --voi
check_completion "~" "png pgm ppm" -f p
check_completion "~" "jpg jpeg jp2" --format j
check_completion "!" "wmf emf raw" -f ""  # only read
check_completion = "file standard minmax none" --voi ""
check_completion = "standard" --voi = st
check_completion = "lzw deflate jpeg none" --tiff-compression ""
check_completion = "8 16" --depth ""
check_completion = "" --jobs ""
check_completion = "series1" -o se

if [ "$failures" -gt 0 ]; then
  echo "$failures package check(s) failed"
  exit 1
fi
echo "package $(basename "$deb") checked: $(wc -l <<<"$files") files, Depends: $depends"
