#!/usr/bin/env bash
# The release command as a publisher runs it, with throw-away keys made on
# the spot.
#   release_command_test.sh options       which option sets it refuses and
#                                         what it builds with the others
#   release_command_test.sh build DIR     one signed release build in DIR:
#                                         signature, tampering, size, values
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
release="$root/scripts/release.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
  if ! "${@:2}"; then
    echo "FAILED: $1" >&2
    failures=$((failures + 1))
  fi
}

openssl ecparam -name prime256v1 -genkey -noout -out "$work/p256.key" 2>/dev/null
openssl ec -in "$work/p256.key" -pubout -out "$work/p256.pub" 2>/dev/null
verify=(osslsigncode verify)
osslsigncode verify --help 2>&1 | grep -q -- -ignore-cdp && verify+=(-ignore-cdp)
accepts() { "${verify[@]}" -in "$1" -CAfile "$2" >/dev/null 2>&1; }  # accepts FILE AUTHORITY
rejects() { ! accepts "$@"; }
deployment=(--bucket kavimor-release-check --key-id LTAI5tReleaseCheck000001
  --key-secret ReleaseCheckSecret0123456789ab)

options() {
  openssl ecparam -name secp384r1 -genkey -noout 2>/dev/null | openssl ec -pubout -out "$work/p384.pub" 2>/dev/null
  echo "not a key" >"$work/text.pub"
  local never="$work/never-built"
  # expected message | arguments (one line per case, fields split at " ")
  local refusals=(
    "plain-HTTP endpoint|--endpoint http://127.0.0.1:18765 --public-key $work/p256.pub"
    "plain-HTTP endpoint|--endpoint HTTP://oss.example.com --unsigned-packages"
    "unknown scheme|--endpoint ftp://oss.example.com --public-key $work/p256.pub"
    "no --public-key|--endpoint oss.example.com"
    "not an ECDSA P-256 key|--endpoint oss.example.com --public-key $work/p384.pub"
    "not a PEM public key|--endpoint oss.example.com --public-key $work/text.pub"
    "no public key file|--endpoint oss.example.com --public-key $work/missing.pub"
    "contradict|--endpoint oss.example.com --public-key $work/p256.pub --unsigned-packages"
    "--cert and --key go together|--endpoint oss.example.com --unsigned-packages --cert $work/p256.pub"
    "need --cert and --key|--endpoint oss.example.com --unsigned-packages --timestamp-url http://ts.example"
    "--endpoint is required|--unsigned-packages"
    "unknown option|--endpoint oss.example.com --unsigned-packages --sign"
    "--next-public-key needs --public-key|--endpoint oss.example.com --unsigned-packages --next-public-key $work/p256.pub"
    "not an ECDSA P-256 key|--endpoint oss.example.com --public-key $work/p256.pub --next-public-key $work/p384.pub"
  )
  for row in "${refusals[@]}"; do
    local expected=${row%%|*} args
    read -ra args <<<"${row#*|}"
    local output status=0
    output=$(bash "$release" "${deployment[@]}" "${args[@]}" --build-dir "$never" 2>&1) || status=$?
    check "refused: ${row#*|}" test "$status" -ne 0
    check "says '$expected': $output" grep -qF -- "$expected" <<<"$output"
  done
  check "nothing configured for a refused release" test ! -e "$never"

  # accepted arguments | the values the build would get
  local accepted=(
    "--endpoint oss.example.com --public-key $work/p256.pub|-DKAVIMOR_OSS_ENDPOINT=oss.example.com -DKAVIMOR_RELEASE_PUBLIC_KEY=$work/p256.pub -DKAVIMOR_RELEASE_NEXT_PUBLIC_KEY= -DKAVIMOR_ALLOW_UNSIGNED_RELEASES=OFF"
    "--endpoint oss.example.com --public-key $work/p256.pub --next-public-key $work/p256.pub|-DKAVIMOR_RELEASE_NEXT_PUBLIC_KEY=$work/p256.pub"
    "--endpoint https://oss.example.com:8443 --unsigned-packages|-DKAVIMOR_OSS_ENDPOINT=https://oss.example.com:8443 -DKAVIMOR_RELEASE_PUBLIC_KEY= -DKAVIMOR_ALLOW_UNSIGNED_RELEASES=ON"
    "--endpoint http://127.0.0.1:18765 --allow-insecure-http --unsigned-packages|-DKAVIMOR_OSS_ENDPOINT=http://127.0.0.1:18765"
  )
  for row in "${accepted[@]}"; do
    local args expected output
    read -ra args <<<"${row%%|*}"
    read -ra expected <<<"${row#*|}"
    output=$(cd "$work" && bash "$release" "${deployment[@]}" "${args[@]}" --build-dir "$never" --dry-run 2>&1) ||
      { check "accepted: ${row%%|*}: $output" false; continue; }
    for line in "${expected[@]}" -DKAVIMOR_OSS_KEY_SECRET="(hidden)"; do
      check "'$line' for ${row%%|*}" grep -qxF -- "$line" <<<"$output"
    done
    check "the secret stays hidden" test "$(grep -c ReleaseCheckSecret <<<"$output")" = 0
  done
  # A relative key file is passed on as an absolute path: CMake reads it
  # from the build folder.
  check "relative public key made absolute" grep -qxF -- "-DKAVIMOR_RELEASE_PUBLIC_KEY=$work/p256.pub" \
    <<<"$(cd "$work" && bash "$release" "${deployment[@]}" --endpoint oss.example.com --public-key p256.pub --dry-run)"
}

# A throw-away certificate authority and a code-signing certificate it
# issued; a second authority that has nothing to do with them.
make_authority() {  # make_authority NAME
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Kavimor throw-away $1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$work/$1.key" -out "$work/$1.pem" 2>/dev/null
}

build() {
  local dir=$1
  make_authority ca
  make_authority other-ca
  openssl req -newkey rsa:2048 -nodes -subj "/CN=Tavrel Information (test)" \
    -keyout "$work/signer.key" -out "$work/signer.csr" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
    >"$work/signer.ext"
  openssl x509 -req -in "$work/signer.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
    -days 2 -extfile "$work/signer.ext" -out "$work/signer.pem" 2>/dev/null
  cat "$work/signer.pem" "$work/ca.pem" >"$work/chain.pem"
  # The key as a publisher keeps it: under a password.
  echo "throw-away password" >"$work/pass"
  openssl pkey -in "$work/signer.key" -aes256 -passout file:"$work/pass" -out "$work/signer-locked.key"

  local output
  output=$(bash "$release" "${deployment[@]}" --endpoint oss-accelerate.aliyuncs.com \
    --public-key "$work/p256.pub" --cert "$work/chain.pem" --key "$work/signer-locked.key" \
    --key-pass-file "$work/pass" --ca-file "$work/ca.pem" --build-dir "$dir" 2>&1) || {
    echo "$output" >&2
    echo "FAILED: the release command" >&2
    exit 1
  }
  echo "$output"
  local exe size
  exe=$(sed -n 's/^installer: //p' <<<"$output")
  check "the installer is where the command says" test -f "$exe"
  check "signed and verified" grep -qxF "release: signed and verified" <<<"$output"
  size=$(stat -c %s "$exe")
  check "the size printed is the file's" grep -qF "size: $size bytes" <<<"$output"
  check "at most 1.75 MiB ($size bytes)" test "$size" -le $((7 * 1024 * 1024 / 4))
  check "no debug sections" test -z "$(x86_64-w64-mingw32-objdump -h "$exe" | grep -E '\.debug|\.stab' || true)"
  check "no symbols" grep -q "no symbols" <<<"$(x86_64-w64-mingw32-nm "$exe" 2>&1 || true)"

  check "verifies against its authority" accepts "$exe" "$work/ca.pem"
  check "does not verify against another authority" rejects "$exe" "$work/other-ca.pem"
  # One changed byte in the code, one in the pictures.
  local text rsrc
  read -r text rsrc < <(x86_64-w64-mingw32-objdump -h "$exe" |
    awk '$2 == ".text" { t = $6 } $2 == ".rsrc" { r = $6; n = $3 } END { print t, r, n }' |
    { read -r t r n; echo $((16#$t + 16)) $((16#$r + 16#$n / 2)); })
  for offset in "$text" "$rsrc"; do
    cp "$exe" "$work/tampered.exe"
    local byte
    byte=$(od -An -tu1 -j "$offset" -N1 "$exe" | tr -d ' ')
    printf "$(printf '\\%03o' $(((byte + 1) % 256)))" |
      dd of="$work/tampered.exe" bs=1 seek="$offset" conv=notrunc status=none
    check "one byte changed at $offset" test "$(cmp -l "$exe" "$work/tampered.exe" | wc -l)" = 1
    check "a change at byte $offset is rejected" rejects "$work/tampered.exe" "$work/ca.pem"
  done

  # The deployment values reached the program.
  check "endpoint in the program" grep -qF 'kOssEndpoint[] = "oss-accelerate.aliyuncs.com"' \
    "$dir/generated/kavimor_deployment.h"
  check "public key in the build" grep -qxE "KAVIMOR_RELEASE_PUBLIC_KEY:[A-Z]+=$work/p256.pub" \
    "$dir/CMakeCache.txt"
}

case "${1:-}" in
  options) options ;;
  build) build "$2" ;;
  *) echo "usage: $0 options | build DIR" >&2; exit 2 ;;
esac
[ "$failures" = 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
