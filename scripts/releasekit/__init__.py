"""What release.sh and verify-release.sh share: the release's layout, its build record, and the
checks of a zip and of an Authenticode signature."""
