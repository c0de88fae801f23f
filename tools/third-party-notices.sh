#!/usr/bin/env bash
# Writes THIRD_PARTY_NOTICES for the statically linked exes: the licence texts
# of the Debian packages that hold the runtime libraries the compiler links
# in (MinGW-w64 CRT and winpthreads, libgcc, libstdc++). The libraries are
# found through the compiler and their packages through dpkg, so the file
# follows the installed toolchain.
#
#   tools/third-party-notices.sh COMPILER OUTPUT
#   tools/third-party-notices.sh --libraries COMPILER
#                                (the paths of those libraries, one a line,
#                                for the build to watch)
set -euo pipefail

# What -static links into every exe of this project.
libraries=(crt2.o libmingw32.a libmingwex.a libmsvcrt.a libwinpthread.a
           libgcc.a libgcc_eh.a libstdc++.a)

library_path() {
  realpath -e "$("$compiler" -print-file-name="$1")"
}

if (($# == 2)) && [[ $1 == --libraries ]]; then
  compiler=$2
  for library in "${libraries[@]}"; do
    library_path "$library"
  done
  exit 0
fi
if (($# != 2)); then
  echo "usage: $0 COMPILER OUTPUT | --libraries COMPILER" >&2
  exit 2
fi
compiler=$1
output=$2

declare -A package_libraries=()
packages=()
for library in "${libraries[@]}"; do
  path=$(library_path "$library")
  # A diverted path also gets "diversion by PACKAGE from: PATH" and "... to:"
  # lines; only "PACKAGE: PATH" names the package that holds it.
  package=$(dpkg-query -S "$path" | grep -v '^diversion by ' | head -n1 | cut -d: -f1)
  if [[ -z ${package_libraries[$package]:-} ]]; then
    packages+=("$package")
  fi
  package_libraries[$package]+=" $library"
done

# Written beside the output and renamed over it, so a failed run leaves
# neither a half-written file nor the temporary one.
temporary="$output.tmp"
trap 'rm -f "$temporary"' EXIT
{
  cat <<'HEAD'
Third-party notices for TalvorenDownloader.exe and TalvorenCheck.exe

Both programs are statically linked with runtime libraries of the MinGW-w64
project (C runtime start-up code and winpthreads) and of GCC (libgcc and
libstdc++). Their copyright and licence texts follow, as the Debian packages
that the programs were built with ship them.
HEAD
  # Packages built from one source share one text: print it once.
  declare -A printed=()
  for package in "${packages[@]}"; do
    copyright=/usr/share/doc/$package/copyright
    digest=$(sha256sum "$copyright" | cut -d' ' -f1)
    version=$(dpkg-query -W -f='${Version}' "$package")
    if [[ -n ${printed[$digest]:-} ]]; then
      printf '\n(%s %s, with%s: the same text as %s above.)\n' \
        "$package" "$version" "${package_libraries[$package]}" "${printed[$digest]}"
      continue
    fi
    printed[$digest]=$package
    printf '\n%s\n%s %s, with%s\n%s\n\n' "$(printf '=%.0s' {1..78})" "$package" "$version" \
      "${package_libraries[$package]}" "$(printf '=%.0s' {1..78})"
    cat "$copyright"
  done
} >"$temporary"
mv "$temporary" "$output"
