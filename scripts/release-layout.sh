# Sourced by release.sh and verify-release.sh, with $root set to the checkout: what the release
# is called and which of the checkout's files go into it beside mkvtype.exe and SHA256SUMS.
version=$(sed -n 's/^project(mkvtype VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=mkvtype-$version
zip_name=$name-x86.zip
release_files=(LICENSE release/README.txt release/check-entries.cmd)
