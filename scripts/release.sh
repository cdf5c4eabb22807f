#!/usr/bin/env bash
# Makes the release zip, dist/mkvtype-VERSION-x86.zip: one folder mkvtype-VERSION/ holding the
# tool, check-entries.cmd, the Windows users' README, the license, BUILDINFO (the commit and
# the build tools) and SHA256SUMS; and the Windows Installer package of the same exe,
# dist/mkvtype-VERSION-x86.msi, for deployment tools.
#
#   scripts/release.sh [--cert CERT.pem --key KEY.pem | --pkcs12 FILE.p12] [--url URL]
#                      [--timestamp TSA_URL] [--output DIR]
#
# --cert/--key or --pkcs12 sign mkvtype.exe and then the package (SHA-256 Authenticode, by
# osslsigncode), with the program's name and --url, its home page, in the signature. The certificate must allow code
# signing. The password of the PKCS#12 file, or of an encrypted key, is taken from the
# environment variable MKVTYPE_SIGN_PASSWORD and handed to the tools through pipes, never on a
# command line or in a file. --timestamp adds an RFC 3161 time stamp from that authority, so
# that the signature outlives the certificate.
#
# A release is built from the checkout's commit alone, in a fresh folder: a checkout with
# uncommitted changes to tracked files is refused, and no build folder of the checkout is used.
# Unsigned, the zip is the same bytes from the same commit and build tools, whenever and
# wherever it is made, in any locale. A run that fails or is interrupted says why on one line,
# exits non-zero, stops whatever it started, and writes nothing into the output folder. The
# package's path is printed, then the zip's, last.
set -euo pipefail
# Nothing of the caller's locale or time zone may reach the zip: not the order of names, not the
# time of its entries, not the tools' messages that the script reads.
export LC_ALL=C TZ=UTC
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
  echo "release.sh: $*" >&2
  exit 1
}

usage_error() {
  echo "release.sh: $* (usage: scripts/release.sh [--cert CERT.pem --key KEY.pem |" \
    "--pkcs12 FILE.p12] [--url URL] [--timestamp TSA_URL] [--output DIR])" >&2
  exit 2
}

cert= key= pkcs12= url= timestamp= output=$root/dist
while [ $# -gt 0 ]; do
  case $1 in
    --cert | --key | --pkcs12 | --url | --timestamp | --output)
      [ $# -ge 2 ] || usage_error "$1 needs a value"
      case $1 in
        --cert) cert=$2 ;;
        --key) key=$2 ;;
        --pkcs12) pkcs12=$2 ;;
        --url) url=$2 ;;
        --timestamp) timestamp=$2 ;;
        --output) output=$2 ;;
      esac
      shift 2
      ;;
    *) usage_error "unknown option: $1" ;;
  esac
done

signing=no
if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || usage_error "--pkcs12 goes without --cert and --key"
  signing=yes
elif [ -n "$cert$key" ]; then
  [ -n "$cert" ] || usage_error "--key needs --cert"
  [ -n "$key" ] || usage_error "--cert needs --key"
  signing=yes
fi
if [ "$signing" = no ]; then
  [ -z "$timestamp" ] || usage_error "--timestamp needs a signature (--cert and --key, or --pkcs12)"
  [ -z "$url" ] || usage_error "--url goes into a signature (--cert and --key, or --pkcs12)"
else
  [ -n "$url" ] || usage_error "signing needs --url, the program's home page, for the signature"
fi

readable_file() {
  local what=$1 path=$2
  [ -e "$path" ] || fail "$what $path: no such file"
  [ -f "$path" ] || fail "$what $path: not a file"
  [ -r "$path" ] || fail "$what $path: not readable"
}

# Long steps run in a process group of their own, which an interrupt stops whole: a plain
# foreground child would hold off the trap until it ended, and `timeout` takes its command out
# of the group that Ctrl-C reaches.
child=
run_stoppably() {
  setsid "$@" &
  child=$!
  local status=0
  wait "$child" || status=$?
  child=
  return "$status"
}
stage=
partials=()
clean_up() {
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  rm -rf ${stage:+"$stage"} "${partials[@]}"
}
trap clean_up EXIT
# Said on the stderr the script was given (fd 3), whatever a step has redirected.
exec 3>&2
trap 'echo "release.sh: interrupted; nothing was written" >&3; exit 130' INT
trap 'echo "release.sh: stopped; nothing was written" >&3; exit 143' TERM

# The password reaches openssl through its environment (env:NAME), and osslsigncode through a
# pipe (printf is a shell builtin, so it shows on no command line). osslsigncode reads no
# password from an empty pipe, so an unprotected key is given none.
export MKVTYPE_SIGN_PASSWORD="${MKVTYPE_SIGN_PASSWORD-}"
sign() {
  if [ -z "$MKVTYPE_SIGN_PASSWORD" ]; then
    run_stoppably timeout 120 osslsigncode sign "$@"
  else
    run_stoppably timeout 120 osslsigncode sign -readpass <(printf '%s' "$MKVTYPE_SIGN_PASSWORD") \
      "$@"
  fi
}

# Signs IN into OUT, and checks what was signed as a verifier will: one signature and nothing
# beside it. WHAT names the file in messages.
sign_checked() {
  local in=$1 out=$2 what=$3 log=$stage/osslsigncode.log refused
  if ! sign "${sign_with[@]}" -h sha256 -n mkvtype -i "$url" ${timestamp:+-ts "$timestamp"} \
      -in "$in" -out "$out" >"$log" 2>&1; then
    if [ -n "$timestamp" ] && grep -qi 'timestamp' "$log"; then
      fail "time-stamp authority $timestamp did not answer with a time stamp for $what"
    fi
    fail "osslsigncode could not sign $what: $(grep -v '^[0-9A-F]*:error:' "$log" | tail -n 1)"
  fi
  if ! refused=$("$python" "$root/scripts/releasekit/authenticode.py" "$out" 2>&1); then
    fail "the signed $what would not verify: ${refused##*$'\n'}"
  fi
}

# Windows accepts a signature only from a certificate that may sign code: one with no extended
# key usage, or with Code Signing among its usages.
code_signing_certificate() {
  local what=$1 usage
  usage=$(openssl x509 -noout -ext extendedKeyUsage 2>/dev/null) ||
    fail "$what: cannot read its extended key usage"
  if [ -n "$usage" ] && ! grep -qx '[[:space:]]*\(.*, \)\?Code Signing\(, .*\)\?' <<<"$usage"; then
    fail "$what: its extended key usage ($(sed 1d <<<"$usage" | sed 's/^ *//' | tr '\n' ' ' |
      sed 's/ $//')) does not allow code signing"
  fi
}

if [ -n "$cert" ]; then
  readable_file certificate "$cert"
  readable_file key "$key"
  certificate_key=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null) ||
    fail "certificate $cert: not a PEM certificate"
  code_signing_certificate "certificate $cert" <"$cert"
  if ! private_key=$(openssl pkey -in "$key" -passin env:MKVTYPE_SIGN_PASSWORD -pubout 2>&1); then
    case $private_key in
      *"bad decrypt"* | *"maybe wrong password"*)
        fail "key $key: wrong password (MKVTYPE_SIGN_PASSWORD)" ;;
      *) fail "key $key: not a private key that openssl can read" ;;
    esac
  fi
  [ "$certificate_key" = "$private_key" ] ||
    fail "key $key does not belong to certificate $cert"
  sign_with=(-certs "$cert" -key "$key")
elif [ -n "$pkcs12" ]; then
  readable_file "PKCS#12 file" "$pkcs12"
  if ! checked=$(openssl pkcs12 -in "$pkcs12" -passin env:MKVTYPE_SIGN_PASSWORD -noout 2>&1); then
    case $checked in
      *"mac verify failure"* | *"invalid password"*)
        fail "PKCS#12 file $pkcs12: wrong password (MKVTYPE_SIGN_PASSWORD)" ;;
      *) fail "PKCS#12 file $pkcs12: not a PKCS#12 file that openssl can read" ;;
    esac
  fi
  # Both halves travel through pipes only: the private key is never written out.
  certificate=$(openssl pkcs12 -in "$pkcs12" -passin env:MKVTYPE_SIGN_PASSWORD -nokeys \
    -clcerts 2>/dev/null | openssl x509 2>/dev/null) ||
    fail "PKCS#12 file $pkcs12: holds no certificate"
  certificate_key=$(openssl x509 -noout -pubkey <<<"$certificate")
  code_signing_certificate "PKCS#12 file $pkcs12" <<<"$certificate"
  private_key=$(openssl pkcs12 -in "$pkcs12" -passin env:MKVTYPE_SIGN_PASSWORD -nocerts \
    -nodes 2>/dev/null | openssl pkey -pubout 2>/dev/null) ||
    fail "PKCS#12 file $pkcs12: holds no private key"
  [ "$certificate_key" = "$private_key" ] ||
    fail "PKCS#12 file $pkcs12: its key does not belong to its certificate"
  sign_with=(-pkcs12 "$pkcs12")
fi

python=/usr/bin/python3
layout=$("$python" "$root/scripts/releasekit/layout.py" "$root") || fail "no version in CMakeLists.txt"
eval "$layout"

# The commit alone is built: not the working tree, not a build folder of the checkout. Its time
# is the time of every file in the zip, so that the same commit gives the same bytes.
top=$(git -C "$root" rev-parse --show-toplevel 2>/dev/null) && [ "$top" -ef "$root" ] ||
  fail "$root is not a git checkout of its own: a release is built from a commit"
changed=$(git -C "$root" status --porcelain --untracked-files=no) ||
  fail "cannot tell whether $root has uncommitted changes"
[ -z "$changed" ] || fail "$root has uncommitted changes to tracked files" \
  "($(cut -c4- <<<"$changed" | tr '\n' ' ' | sed 's/ $//')): a release is built from the commit" \
  "alone, so commit or stash them first"
commit=$(git -C "$root" rev-parse HEAD)
epoch=$(git -C "$root" log -1 --format=%ct HEAD)

stage=$(mktemp -d)
source_copy=$stage/source
build_log=$stage/build.log
if ! run_stoppably "$root/scripts/build-copy.sh" --commit "$root" "$source_copy" \
    >"$stage/built" 2>"$build_log"; then
  cat "$build_log" >&2
  fail "building commit $commit failed (its output is above)"
fi
exe=$(cat "$stage/built")

folder=$stage/$name
mkdir "$folder"
if [ "$signing" = yes ]; then
  sign_checked "$exe" "$folder/mkvtype.exe" mkvtype.exe
  # Without its signature, the exe must be the build's own bytes.
  osslsigncode remove-signature -in "$folder/mkvtype.exe" -out "$stage/unsigned.exe" \
    >/dev/null 2>&1 && cmp -s "$stage/unsigned.exe" "$exe" ||
    fail "the signed mkvtype.exe, less its signature, is not the build"
else
  cp "$exe" "$folder/mkvtype.exe"
fi
(cd "$source_copy" && cp "${release_files[@]}" "$folder/")
"$python" "$root/scripts/releasekit/buildinfo.py" "$source_copy/build/windows" "$commit" \
  "$version" >"$folder/BUILDINFO" || fail "cannot tell which tools built the exe"
(cd "$folder" && sha256sum -- "${summed_files[@]}" >"$stage/SHA256SUMS" && mv "$stage/SHA256SUMS" .)

# Fixed modes, times and order, and no extra fields (-X): nothing of this machine or this
# moment gets into the zip.
chmod 0755 "$folder"
chmod 0644 "$folder"/*
touch -d "@$epoch" "$folder"/* "$folder"
entries=("$name/" "${all_files[@]/#/$name/}")
(cd "$stage" && zip -X -q "$zip_name" "${entries[@]}")

# The package holds the zip's exe, signed when it is, and is signed the same way. It is made
# by the commit's own packaging script and WiX source.
if ! said=$("$python" "$source_copy/scripts/releasekit/package.py" "$folder/mkvtype.exe" \
    "$version" "$epoch" "$stage/unsigned.msi" 2>&1); then
  fail "${said##*$'\n'}"
fi
if [ "$signing" = yes ]; then
  sign_checked "$stage/unsigned.msi" "$stage/$package_name" "the package"
else
  mv "$stage/unsigned.msi" "$stage/$package_name"
fi

mkdir -p "$output"
output=$(cd "$output" && pwd)
for made in "$package_name" "$zip_name"; do
  partials+=("$output/.$made.partial")
  cp "$stage/$made" "$output/.$made.partial"
done
for made in "$package_name" "$zip_name"; do
  mv -f "$output/.$made.partial" "$output/$made"
done
partials=()
echo "$output/$package_name"
echo "$output/$zip_name"
