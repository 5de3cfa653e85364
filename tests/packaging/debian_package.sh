#!/usr/bin/env bash
# Builds the Debian package with cpack and checks its control fields and
# contents, then unpacks it into a scratch root and runs the CLI from there:
# it must find its knowledge files from its own folder.
#
# debian_package.sh BUILD_DIR SCRATCH_DIR VERSION [EXAMPLE.exe]
set -euo pipefail
build=$1 scratch=$2 version=$3 example=${4:-}

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$scratch"
mkdir -p "$scratch"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack -G DEB"; }
debs=("$scratch"/quillmark_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one quillmark_*.deb in $scratch"
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quillmark ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
for package in libc6 libsqlite3-0 libpcre2-8-0 libssl3; do
  grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done
grep -Eq "(^|, )libx11-6( |,|$)" <<<"$(field Recommends)" || fail "Recommends lacks libx11-6"

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
lib='\./usr/lib(/[^/]+)?'
for path in \
    '\./usr/bin/quillmark' '\./usr/bin/quillmark-dict' \
    "$lib/libquillmark\.so" "$lib/libquillmark\.so\.$version" "$lib/libquillmark\.a" \
    '\./usr/include/quillmark/quillmark\.h' \
    '\./usr/share/quillmark/Data/hbwlists\.mdict' '\./usr/share/quillmark/Data/hsysfiles\.mdict' \
    '\./usr/share/quillmark/Data/hwscheme\.mdict' '\./usr/share/quillmark/Data/hmthinfo\.mdict' \
    '\./usr/share/man/man1/quillmark\.1(\.gz)?' '\./usr/share/man/man1/quillmark-dict\.1(\.gz)?' \
    '\./usr/share/bash-completion/completions/quillmark' \
    '\./usr/share/bash-completion/completions/quillmark-dict' \
    "$lib/pkgconfig/quillmark\.pc" \
    "$lib/cmake/quillmark/quillmarkConfig\.cmake" "$lib/cmake/quillmark/quillmarkConfigVersion\.cmake" \
    "$lib/cmake/quillmark/quillmarkTargets\.cmake" "$lib/cmake/quillmark/quillmarkStaticTargets\.cmake"; do
  grep -Eqx "$path" <<<"$contents" || fail "the package lacks $path"
done
# Nothing of the build or the tests.
! grep -Eq 'quillmark_tests|gtest|/examples/|\.o$' <<<"$contents" || fail "test or build files in the package"

root=$scratch/root
dpkg -x "$deb" "$root"
cli=$root/usr/bin/quillmark
"$cli" --version | grep -qF "$version" || fail "quillmark --version does not say $version"
pc=$(find "$root" -path '*/pkgconfig/quillmark.pc')
knowledge=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=knowledgedir quillmark)
[ -f "$knowledge/hbwlists.mdict" ] || fail "the pkg-config knowledgedir $knowledge holds no knowledge files"
if [ -n "$example" ] && [ -f "$example" ]; then
  # Status 2 or a warning would mean knowledge files not found or not usable.
  status=0
  "$cli" scan --no-progress "$example" >"$scratch/scan.out" 2>"$scratch/scan.err" || status=$?
  [ $status -le 1 ] || { cat "$scratch/scan.err"; fail "the unpacked CLI exited with $status"; }
  ! grep -q warning "$scratch/scan.err" || { cat "$scratch/scan.err"; fail "the unpacked CLI warned"; }
  grep -q '%' "$scratch/scan.out" || fail "the unpacked CLI gave no verdict"
fi
echo "ok: $deb"
