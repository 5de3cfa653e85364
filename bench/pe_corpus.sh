#!/usr/bin/env bash
# Assembles a repeatable folder of real PE files (Windows programs, DLLs,
# drivers, installer stubs, signed EFI images) taken from Debian packages,
# for bench/scan_corpus.sh.
#
#   bench/pe_corpus.sh [--count N] [--no-download] [--force] [TARGET]
#
# TARGET      folder to create (default /var/tmp/quillmark-pe-corpus). It must
#             not exist yet, or be empty; --force replaces a folder that this
#             script made before (one with TARGET.manifest beside it).
# --count N   take N files, evenly spread over the sorted list of candidates,
#             instead of all of them (about 820 with the packages below).
# --no-download
#             use installed packages only; never call `apt-get download`.
#
# Where the files come from (Debian 12 package names):
#   libwine:amd64            ~690 x86-64 PE DLLs/EXEs/drivers of Wine
#                            (installed with wine64:
#                            `apt-get install wine64`)
#   libwine:i386             Wine's i386-windows folder; taken only when
#                            installed (it needs the i386 architecture and
#                            wine32, which these machines cannot run)
#   gcc-mingw-w64-{x86-64,i686}-{posix,win32}-runtime
#                            the mingw-w64 runtime DLLs (libstdc++-6.dll,
#                            libgcc_s_*.dll, libgomp-1.dll, ...)
#   mingw-w64-{x86-64,i686}-dev
#                            libwinpthread-1.dll
#   libz-mingw-w64           zlib1.dll, 32 and 64 bit
#   nsis-common              the NSIS installer stubs and plug-in DLLs
#                            (x86 ANSI/Unicode and amd64)
#   shim-signed, grub-efi-amd64-signed
#                            Authenticode-signed EFI images, so that signature
#                            parsing and digest hashing are part of the run
# A package that is installed is read from the installed files (`dpkg -L`);
# one that is not is fetched with `apt-get download` and unpacked with
# `dpkg-deb -x` into a temporary folder, never installed (installing the
# signed boot loaders would touch the machine's boot set-up). The project's
# usual set-up (`apt-get install wine64 gcc-mingw-w64-x86-64 gcc-mingw-w64-i686`)
# already installs most of them; `apt-get update` must have run once for the
# downloads.
#
# A candidate is kept when it is a PE image: "MZ", then "PE\0\0" at e_lfanew.
# Symbolic links are skipped (they would only repeat a file). Files are copied,
# not linked, to TARGET/<package>/<path in the package>, and the candidates are
# sorted byte-wise by that path before --count picks from them, so the same
# packages always give the same folder.
#
# TARGET.manifest (beside the folder, so that it is not scanned) records the
# package versions and the SHA-256 of every file: two corpora are the same
# when their manifests are. bench/scan_corpus.sh prints the manifest's digest.
set -euo pipefail
export LC_ALL=C

die() { echo "pe_corpus.sh: $*" >&2; exit 1; }

target=/var/tmp/quillmark-pe-corpus
count=0
download=1
force=0
while [ $# -gt 0 ]; do
  case "$1" in
    --count) [ $# -ge 2 ] || die "--count needs a number"
             count=$2; shift 2
             [[ "$count" =~ ^[1-9][0-9]*$ ]] || die "--count needs a positive number, not '$count'" ;;
    --no-download) download=0; shift ;;
    --force) force=1; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    --) shift; break ;;
    -*) die "unknown option '$1' (see --help)" ;;
    *) break ;;
  esac
done
[ $# -le 1 ] || die "one TARGET folder at most"
[ $# -eq 1 ] && target=$1
target=${target%/}
[ -n "$target" ] || die "TARGET must not be /"
manifest=$target.manifest

for tool in dpkg-query dpkg-deb perl sha256sum; do
  command -v "$tool" >/dev/null || die "'$tool' is missing"
done

if [ -e "$target" ] && [ -n "$(ls -A -- "$target" 2>/dev/null || echo x)" ]; then
  [ "$force" = 1 ] || die "'$target' exists and is not empty (use --force to rebuild a corpus made by this script)"
  [ -f "$manifest" ] || die "'$target' was not made by this script (no '$manifest'); remove it yourself"
  rm -rf -- "$target"
fi
rm -f -- "$manifest"

# package, and whether it may be downloaded when it is not installed
packages=(
  "libwine:amd64 download"
  "libwine:i386 installed-only"
  "gcc-mingw-w64-x86-64-posix-runtime download"
  "gcc-mingw-w64-x86-64-win32-runtime download"
  "gcc-mingw-w64-i686-posix-runtime download"
  "gcc-mingw-w64-i686-win32-runtime download"
  "mingw-w64-x86-64-dev download"
  "mingw-w64-i686-dev download"
  "libz-mingw-w64 download"
  "nsis-common download"
  "shim-signed download"
  "grub-efi-amd64-signed download"
)

work=$(mktemp -d "${TMPDIR:-/tmp}/pe-corpus.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
candidates=$work/candidates   # lines: destination path <TAB> source file
: > "$work/versions"

add_candidates() {  # package-folder-name root file...
  local name=$1 root=$2 f; shift 2
  for f in "$@"; do
    if [ ! -f "$root$f" ] || [ -L "$root$f" ]; then continue; fi
    printf '%s/%s\t%s\n' "$name" "${f#/}" "$root$f" >> "$all_files"
  done
}

# Keeps the lines "destination<TAB>source" whose source is a PE image: "MZ",
# e_lfanew (at 0x3c) inside the file, "PE\0\0" there. One perl for all files:
# packages list thousands of headers and import libraries, and a process or
# two per file would take minutes on a busy machine.
keep_pe_images() {
  perl -ne '
    chomp; my ($dest, $src) = split /\t/, $_, 2;
    open(my $fh, "<:raw", $src) or die "cannot read $src: $!\n";
    my $head = "";
    read($fh, $head, 64);
    next unless length($head) == 64 && substr($head, 0, 2) eq "MZ";
    my $off = unpack("V", substr($head, 60, 4));
    my $sig = "";
    seek($fh, $off, 0) and read($fh, $sig, 4);
    print "$_\n" if $sig eq "PE\0\0";
  '
}

all_files=$work/files   # every regular file of the packages, same format
: > "$all_files"

for entry in "${packages[@]}"; do
  pkg=${entry% *}; mode=${entry#* }
  name=${pkg//:/_}
  status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
  if [ "$status" = installed ]; then
    version=$(dpkg-query -W -f='${Version}' "$pkg")
    mapfile -t pkg_files < <(dpkg -L "$pkg")
    add_candidates "$name" "" "${pkg_files[@]}"
    printf '%s\t%s\tinstalled\n' "$pkg" "$version" >> "$work/versions"
  elif [ "$mode" = download ] && [ "$download" = 1 ]; then
    mkdir -p "$work/deb/$name" "$work/root/$name"
    echo "pe_corpus.sh: $pkg is not installed; downloading it (not installing)" >&2
    (cd "$work/deb/$name" && apt-get download -q "$pkg" 2>&1 | { grep -v '^W: Download is performed unsandboxed' >&2 || true; }) \
      || die "apt-get download $pkg failed (run 'apt-get update' first, or install it)"
    deb=$(ls "$work/deb/$name"/*.deb)
    dpkg-deb -x "$deb" "$work/root/$name"
    version=$(dpkg-deb -f "$deb" Version)
    mapfile -t pkg_files < <(cd "$work/root/$name" && find . -type f | sed 's|^\.||')
    add_candidates "$name" "$work/root/$name" "${pkg_files[@]}"
    printf '%s\t%s\tdownloaded\n' "$pkg" "$version" >> "$work/versions"
  else
    echo "pe_corpus.sh: skipping $pkg (not installed)" >&2
  fi
done

keep_pe_images < "$all_files" > "$candidates"
grep -q '^libwine_amd64/' "$candidates" || die "no Wine PE files found: install wine64 ('apt-get install wine64') or allow downloads"

sort -t $'\t' -k1,1 -o "$candidates" "$candidates"
total=$(wc -l < "$candidates")
[ "$total" -ge 100 ] || die "only $total PE files found; expected several hundred"
if [ "$count" -eq 0 ] || [ "$count" -ge "$total" ]; then
  cp -- "$candidates" "$work/chosen"
else
  # every (total/count)-th candidate, by integer steps, so the pick is spread
  # over all packages and is the same each time
  awk -F '\t' -v n="$total" -v k="$count" '
    BEGIN { for (i = 0; i < k; i++) want[int(i * n / k) + 1] = 1 }
    want[NR]' "$candidates" > "$work/chosen"
fi

# one cp per destination folder (a file keeps its name)
declare -A by_dir=()
while IFS=$'\t' read -r dest src; do
  by_dir["$target/${dest%/*}"]+="$src"$'\n'
done < "$work/chosen"
mkdir -p -- "${!by_dir[@]}"
for dir in "${!by_dir[@]}"; do
  mapfile -t srcs <<< "${by_dir[$dir]%$'\n'}"
  cp -- "${srcs[@]}" "$dir/"
done

{
  echo "# PE corpus made by bench/pe_corpus.sh"
  echo "# count: $(wc -l < "$work/chosen") of $total candidates"
  sed 's/^/# package\t/' "$work/versions"
  (cd "$target" && find . -type f | sed 's|^\./||' | sort | tr '\n' '\0' | xargs -0 sha256sum)
} > "$manifest"

files=$(find "$target" -type f | wc -l)
bytes=$(du -sb -- "$target" | cut -f1)
echo "pe_corpus.sh: $files PE files ($((bytes / 1048576)) MiB) in $target; manifest $manifest"
