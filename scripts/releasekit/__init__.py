"""The release, made and verified: scripts/release.sh runs make.py, scripts/verify-release.sh
runs verify.py. Both sides share what a release is: its layout (layout.py), the build of a
commit in a fresh folder (build.py), its build record (buildinfo.py), its package
(package.py), and the rules of an Authenticode signature (authenticode.py); make.py signs with
signing.py, verify.py reads the zip with archive.py. Their tools run through processes.py, so
that an interrupt stops them whole."""
