#!/usr/bin/env bash
# Builds the installer as it is shipped: a release build with the given
# deployment values in a build folder of its own, only the installer, linked
# without symbols or debug sections; then, given a code-signing certificate,
# signs it with Authenticode (osslsigncode) and verifies the signature.
# Prints the finished file's path and size.
#
#   bash scripts/release.sh --endpoint HOST[:PORT] --bucket NAME \
#        --key-id ID --key-secret SECRET \
#        (--public-key FILE [--next-public-key FILE] | --unsigned-packages) \
#        [--cert FILE --key FILE [--key-pass-file FILE]] [--ca-file FILE] \
#        [--timestamp-url URL] [--allow-insecure-http] [--build-dir DIR] [--dry-run]
#
# --endpoint          the object store; without a scheme, or with https://,
#                     the installer talks TLS. An http:// endpoint is refused
#                     unless --allow-insecure-http is given as well.
# --public-key FILE   PEM ECDSA P-256 public key the installer checks the
#                     signed release index against. Package signing is on by
#                     default: without this option the command refuses,
#                     unless --unsigned-packages says otherwise explicitly
#                     (the build then gets KAVIMOR_ALLOW_UNSIGNED_RELEASES=ON).
# --next-public-key   during a key rotation, the key that takes over: the
#                     installer accepts an index signed with either.
# --cert / --key      Authenticode certificate (PEM or DER, with its chain)
#                     and private key; without them the file stays unsigned.
# --key-pass-file     file holding the private key's password.
# --ca-file           trusted certificates (PEM) for the verification after
#                     signing; default: the system's bundle.
# --timestamp-url     RFC 3161 time-stamp server; off by default (a signature
#                     without a time stamp is no longer valid once the
#                     certificate expires).
# --build-dir         default: build/release.
# --dry-run           check the options, print the values the build would
#                     get (the key secret hidden) and stop.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
  echo "release: $*" >&2
  exit 2
}

endpoint="" bucket="" key_id="" key_secret="" public_key="" next_public_key="" unsigned_packages=0
allow_http=0 dry_run=0 cert="" key="" key_pass_file="" ca_file="" timestamp_url=""
build="$root/build/release"
while [ $# -gt 0 ]; do
  case "$1" in
    --unsigned-packages) unsigned_packages=1; shift; continue ;;
    --allow-insecure-http) allow_http=1; shift; continue ;;
    --dry-run) dry_run=1; shift; continue ;;
    --endpoint | --bucket | --key-id | --key-secret | --public-key | --next-public-key | --cert | --key | \
      --key-pass-file | --ca-file | --timestamp-url | --build-dir)
      [ $# -ge 2 ] || fail "$1 needs a value" ;;
    *) fail "unknown option: $1 (see the top of $0)" ;;
  esac
  case "$1" in
    --endpoint) endpoint=$2 ;;
    --bucket) bucket=$2 ;;
    --key-id) key_id=$2 ;;
    --key-secret) key_secret=$2 ;;
    --public-key) public_key=$2 ;;
    --next-public-key) next_public_key=$2 ;;
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --key-pass-file) key_pass_file=$2 ;;
    --ca-file) ca_file=$2 ;;
    --timestamp-url) timestamp_url=$2 ;;
    --build-dir) build=$2 ;;
  esac
  shift 2
done

# Everything is checked before anything is built.
for value in endpoint bucket key_id key_secret; do
  [ -n "${!value}" ] || fail "--${value//_/-} is required"
done
case "${endpoint,,}" in
  http://*)
    [ "$allow_http" = 1 ] ||
      fail "refusing the plain-HTTP endpoint $endpoint: packages and keys would travel readable and unprotected (--allow-insecure-http accepts it)" ;;
  https://*) ;;
  *://*) fail "unknown scheme in the endpoint $endpoint (https:// or none)" ;;
esac
# A P-256 public key in PEM, as an absolute path (CMake reads it from the
# build folder).
check_key() {  # check_key FILE -> prints the absolute path
  [ -f "$1" ] || fail "no public key file $1"
  command -v openssl >/dev/null || fail "openssl is missing (bash scripts/setup.sh installs it)"
  key_text=$(openssl pkey -pubin -in "$1" -noout -text 2>/dev/null) || fail "$1 is not a PEM public key"
  grep -qE 'prime256v1|P-256' <<<"$key_text" || fail "$1 is not an ECDSA P-256 key"
  echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
}
if [ -n "$public_key" ] && [ "$unsigned_packages" = 1 ]; then
  fail "--public-key and --unsigned-packages contradict each other"
elif [ -n "$public_key" ]; then
  public_key=$(check_key "$public_key") || exit 2
  if [ -n "$next_public_key" ]; then
    next_public_key=$(check_key "$next_public_key") || exit 2
  fi
elif [ -n "$next_public_key" ]; then
  fail "--next-public-key needs --public-key"
elif [ "$unsigned_packages" = 0 ]; then
  fail "no --public-key: the installer would accept packages nobody signed (--unsigned-packages builds it so on purpose)"
fi
allow_unsigned=OFF
[ "$unsigned_packages" = 1 ] && allow_unsigned=ON
if [ -n "$cert$key" ]; then
  [ -n "$cert" ] && [ -n "$key" ] || fail "--cert and --key go together"
  for file in "$cert" "$key" "$key_pass_file" "$ca_file"; do
    [ -z "$file" ] || [ -f "$file" ] || fail "no file $file"
  done
  command -v osslsigncode >/dev/null || fail "osslsigncode is missing (bash scripts/setup.sh installs it)"
elif [ -n "$key_pass_file$ca_file$timestamp_url" ]; then
  fail "--key-pass-file, --ca-file and --timestamp-url need --cert and --key"
fi

# A cache of an earlier release keeps whatever is not passed again: every
# value is passed, an empty public key included.
values=(
  -DKAVIMOR_OSS_ENDPOINT="$endpoint" -DKAVIMOR_OSS_BUCKET="$bucket"
  -DKAVIMOR_OSS_KEY_ID="$key_id" -DKAVIMOR_OSS_KEY_SECRET="$key_secret"
  -DKAVIMOR_RELEASE_PUBLIC_KEY="$public_key" -DKAVIMOR_RELEASE_NEXT_PUBLIC_KEY="$next_public_key"
  -DKAVIMOR_ALLOW_UNSIGNED_RELEASES="$allow_unsigned")
if [ "$dry_run" = 1 ]; then
  printf '%s\n' "${values[@]/#-DKAVIMOR_OSS_KEY_SECRET=*/-DKAVIMOR_OSS_KEY_SECRET=(hidden)}"
  exit 0
fi
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKAVIMOR_STRIP_PROGRAM=ON "${values[@]}" >/dev/null
cmake --build "$build" --target kavimor_installer -j 2

linked="$build/bin/kavimor_installer.exe"
if x86_64-w64-mingw32-objdump -h "$linked" | grep -qE '\.debug|\.stab'; then
  fail "$linked still has debug sections"
fi
out="$build/kavimor_installer.exe"
# Until it has been verified the signed file carries a name no one ships.
rm -f "$out" "$out.part"
if [ -n "$cert" ]; then
  sign=(osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "NOLDAR Trading System Installer")
  [ -n "$key_pass_file" ] && sign+=(-readpass "$key_pass_file")
  [ -n "$timestamp_url" ] && sign+=(-ts "$timestamp_url")
  "${sign[@]}" -in "$linked" -out "$out.part" >/dev/null
  verify=(osslsigncode verify -in "$out.part")
  [ -n "$ca_file" ] && verify+=(-CAfile "$ca_file")
  # Build machines have no network: revocation lists are not fetched (older
  # osslsigncode releases never fetch them and lack the option).
  osslsigncode verify --help 2>&1 | grep -q -- -ignore-cdp && verify+=(-ignore-cdp)
  "${verify[@]}" >"$build/verify.log" 2>&1 || {
    cat "$build/verify.log" >&2
    rm -f "$out.part"
    fail "the signed file did not verify"
  }
  mv "$out.part" "$out"
  echo "release: signed and verified"
else
  cp "$linked" "$out"
  echo "release: not signed (no --cert/--key)"
fi
chmod +x "$out"
size=$(stat -c %s "$out")
echo "installer: $out"
echo "size: $size bytes ($(awk -v s="$size" 'BEGIN { printf "%.2f", s / 1048576 }') MiB)"
