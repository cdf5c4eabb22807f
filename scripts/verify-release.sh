#!/usr/bin/env bash
# Checks a downloaded release zip the way a careful user would, and says what it checked:
#
#   scripts/verify-release.sh ZIP [--ca CA.pem]
#
# - the zip holds one folder mkvtype-VERSION/ with exactly the release's five files;
# - SHA256SUMS lists every other file, and every file matches it;
# - a signed mkvtype.exe has a valid Authenticode signature that chains to a certificate of
#   CA.pem (a file of one or more CA certificates: the signer's and the time-stamp
#   authority's), or to the system's certificate authorities without --ca, and a valid time
#   stamp where it has one; with --ca, an unsigned exe fails;
# - mkvtype.exe, without its signature, is byte for byte what this checkout builds, in a fresh
#   build folder, and the other files are this checkout's.
# Exits 0 only when all of it holds; otherwise names what differs and exits 1 (2 for a wrong
# call).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage_error() {
  echo "verify-release.sh: $* (usage: scripts/verify-release.sh ZIP [--ca CA.pem])" >&2
  exit 2
}

fail() {
  echo "FAILED $*"
  exit 1
}

zip= ca=
while [ $# -gt 0 ]; do
  case $1 in
    --ca)
      [ $# -ge 2 ] || usage_error "--ca needs a file"
      ca=$2
      shift 2
      ;;
    -*) usage_error "unknown option: $1" ;;
    *)
      [ -z "$zip" ] || usage_error "one zip at a time"
      zip=$1
      shift
      ;;
  esac
done
[ -n "$zip" ] || usage_error "which zip?"
trusted="the system's certificate authorities"
if [ -n "$ca" ]; then
  [ -f "$ca" ] && [ -r "$ca" ] || usage_error "cannot read CA file $ca"
  trusted=$ca
fi

. "$root/scripts/release-layout.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The zip and its listing. Listing it exactly also rules out paths that would land outside the
# folder when unpacked.
[ -f "$zip" ] || fail "zip: $zip is not a file"
unzip -tqq "$zip" >/dev/null 2>&1 || fail "zip: $zip is not a zip file, or a damaged one"
expected=$(for file in "${release_files[@]}" SHA256SUMS mkvtype.exe; do
  echo "$name/$(basename "$file")"
done | LC_ALL=C sort)
# The folder's own entry may be there or not; nothing else may.
listed=$(zipinfo -1 "$zip" | grep -vx "$name/" | LC_ALL=C sort)
[ "$listed" = "$expected" ] ||
  fail "zip: holds $(echo $listed), not $(echo $expected)"
unzip -q "$zip" -d "$work"
folder=$work/$name
echo "zip: $(basename "$zip") holds $name/ with its five files"

# Checksums, over every other file of the folder.
sums=$folder/SHA256SUMS
summed=$(sed -E 's/^[0-9a-f]{64} [ *]//' "$sums" | LC_ALL=C sort)
others=$(cd "$folder" && LC_ALL=C ls | grep -vx SHA256SUMS)
[ "$summed" = "$others" ] || fail "checksums: SHA256SUMS lists $(echo $summed), not $(echo $others)"
if ! checked=$(cd "$folder" && sha256sum --check --strict SHA256SUMS 2>&1); then
  differing=$(echo "$checked" | sed -n 's/: FAILED$//p' | tr '\n' ' ')
  fail "checksums: ${differing:-$checked }does not match SHA256SUMS"
fi
echo "checksums: SHA256SUMS matches $(echo $others)"

# The signature, and its time stamp where it has one.
exe=$folder/mkvtype.exe
signature_size=$(/usr/bin/python3 -c '
import sys, pefile
pe = pefile.PE(sys.argv[1], fast_load=True)
print(pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].Size)
' "$exe") || fail "signature: mkvtype.exe is not a Windows executable"
unsigned=$work/mkvtype-unsigned.exe
if [ "$signature_size" -eq 0 ]; then
  [ -z "$ca" ] || fail "signature: mkvtype.exe is not signed, and --ca asks for a signature"
  echo "signature: none (an unsigned release)"
  cp "$exe" "$unsigned"
else
  authorities=${ca:-/etc/ssl/certs/ca-certificates.crt}
  report=$work/verify.txt
  status=0
  osslsigncode verify -CAfile "$authorities" -TSA-CAfile "$authorities" -in "$exe" \
    >"$report" 2>&1 || status=$?
  signer=$(sed -n '/Signer #0:/{n;s/^[[:space:]]*Subject: //p;q}' "$report")
  if [ "$status" -ne 0 ] || ! grep -qx 'Signature verification: ok' "$report"; then
    if grep -q MISMATCH "$report"; then
      reason="mkvtype.exe was changed after it was signed"
    else
      reason=$(grep -o -m1 -E '(Verify error|Error): .*' "$report" | sed -E 's/^[^:]*: //')
    fi
    fail "signature: mkvtype.exe's signature does not verify against $trusted${reason:+: $reason}"
  fi
  echo "signature: valid SHA-256 Authenticode, by $signer, chains to $trusted"
  if grep -q 'Timestamp is not available' "$report"; then
    echo "time stamp: none (the signature holds while the certificate does)"
  elif grep -qx 'Timestamp Server Signature verification: ok' "$report"; then
    # osslsigncode 2.9 says "Timestamp time:", 2.5 (Debian 12) "The signature is timestamped:".
    stamped=$(sed -n -E 's/^[[:space:]]*(Timestamp time|The signature is timestamped): //p' \
      "$report" | head -n 1)
    echo "time stamp: valid, $stamped"
  else
    fail "time stamp: does not verify against $trusted"
  fi
  osslsigncode remove-signature -in "$exe" -out "$unsigned" >/dev/null 2>&1 ||
    fail "signature: osslsigncode could not take it off mkvtype.exe"
fi

# What this checkout builds, from a copy of it in a fresh folder.
if ! rebuilt=$("$root/scripts/build-copy.sh" "$root" "$work/source" 2>"$work/build.log"); then
  cat "$work/build.log"
  fail "source: this checkout does not build"
fi
what=mkvtype.exe
[ "$signature_size" -eq 0 ] || what="mkvtype.exe without its signature"
rebuilt_sum=$(sha256sum <"$rebuilt" | cut -c1-64)
cmp -s "$unsigned" "$rebuilt" ||
  fail "source: $what (sha256 $(sha256sum <"$unsigned" | cut -c1-64)) is not what this" \
    "checkout builds (sha256 $rebuilt_sum)"
for file in "${release_files[@]}"; do
  cmp -s "$folder/$(basename "$file")" "$root/$file" ||
    fail "source: $(basename "$file") is not this checkout's $file"
done
echo "source: $what is what this checkout builds (sha256 $rebuilt_sum); the other files are" \
  "this checkout's"
echo "verified: every check holds"
