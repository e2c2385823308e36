#!/usr/bin/env bash
# `make dist` signing, with a throwaway self-signed code-signing certificate: the zip holds the
# tool, the self-check kit, README.md and docs/removal.md as in the sources, its sums cover every
# file and verify, both signatures verify, the signed copy passes the static checks, a wrong
# password leaves no zip, the unsigned build is untouched, and the signed copy runs under Wine with
# the unsigned one's report, and the signed kit takes the signed tool for its own.
# Usage: signing.sh SOURCE_DIR EXE VERSION PYTHON WINE PREFIX_TEMPLATE
set -eu
source_dir=$1 exe=$2 version=$3 python=$4 wine=$5 template=$6
. "$source_dir/tests/e2e/prefix.sh"
work=$(mktemp -d)
prefix=$work/prefix
cleanup() {
  if [ -d "$prefix" ]; then end_server "$prefix"; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
unsigned_sum=$(sha256sum <"$exe")
name=velmirant-cleanup-$version

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=velmirant-cleanup test signer" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.pfx" -passout pass:test-password

DIST_EXE=$exe DIST_DIR=$work/out SIGN_PFX=$work/cert.pfx SIGN_PASSWORD=test-password \
  bash "$source_dir/scripts/dist.sh" || fail "dist.sh did not sign"
unzip -q "$work/out/$name.zip" -d "$work/unzipped"
shipped=$work/unzipped/$name
(cd "$shipped" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS do not match the zip's content"
files=$(cd "$shipped" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[ "$files" = "README.md docs/removal.md velmirant-cleanup.exe velmirant-selfcheck.exe velmirant-selfcheck.wsb " ] ||
  fail "the zip holds: $files"
[ "$(cut -d' ' -f3- "$shipped/SHA256SUMS" | LC_ALL=C sort | tr '\n' ' ')" = "$files" ] ||
  fail "SHA256SUMS does not list every file of the zip: $(cut -d' ' -f3- "$shipped/SHA256SUMS" | tr '\n' ' ')"
for doc in README.md docs/removal.md; do
  cmp "$source_dir/$doc" "$shipped/$doc" || fail "the zip's $doc is not the sources' one"
done
# The folder the zip unpacks to, read-only; the results beside it, the only writable one.
tr -d '\n ' <"$shipped/velmirant-selfcheck.wsb" | grep -qF "<HostFolder>C:\velmirant-cleanup-$version</HostFolder><SandboxFolder>C:\velmirant-cleanup</SandboxFolder><ReadOnly>true</ReadOnly>" ||
  fail "the sandbox configuration does not map the folder the zip unpacks to, read-only"
[ "$(grep -c '<ReadOnly>false</ReadOnly>' "$shipped/velmirant-selfcheck.wsb")" = 1 ] &&
  grep -qF "<HostFolder>C:\velmirant-cleanup-$version-results</HostFolder>" "$shipped/velmirant-selfcheck.wsb" ||
  fail "the sandbox configuration maps another folder writable than the results'"
for signed in velmirant-cleanup.exe velmirant-selfcheck.exe; do
  osslsigncode verify -CAfile "$work/cert.pem" -in "$shipped/$signed" >"$work/verify" 2>&1 ||
    { cat "$work/verify"; fail "the signature of $signed does not verify"; }
done
for check in header manifest resources; do
  "$python" "$source_dir/tests/release/check_release.py" "$shipped/velmirant-cleanup.exe" $check || fail "signed: $check"
done
"$python" "$source_dir/tests/release/check_release.py" "$shipped/velmirant-cleanup.exe" imports \
  "$source_dir/tests/release/imports.txt" || fail "signed: imports"
"$python" "$source_dir/tests/release/check_release.py" "$shipped/velmirant-cleanup.exe" version "$version" ||
  fail "signed: version"

if DIST_EXE=$exe DIST_DIR=$work/wrong SIGN_PFX=$work/cert.pfx SIGN_PASSWORD=not-the-password \
  bash "$source_dir/scripts/dist.sh" 2>"$work/wrong.err"; then
  fail "dist.sh succeeded with a wrong password"
fi
grep -q . "$work/wrong.err" || fail "dist.sh failed with a wrong password but said nothing"
[ ! -e "$work/wrong/$name.zip" ] || fail "a zip was left behind after a failed signing"
[ ! -e "$work/wrong/dist" ] || fail "a staging folder was left behind after a failed signing"
[ "$(sha256sum <"$exe")" = "$unsigned_sum" ] || fail "$exe was modified"
echo "signed zip, sums, signature, static checks and the wrong-password failure: ok"

if ! bash "$source_dir/scripts/runs32.sh"; then
  echo "SKIPPED (Wine part): this machine's kernel does not run 32-bit programs, so the signed exe cannot run here"
  exit 77
fi
[ -f "$template/system.reg" ] || fail "no Wine prefix template at $template (the wine_prefix fixture makes it)"
copy_prefix "$template" "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" LC_ALL=C.UTF-8
# Nothing is seeded, so both runs meet the same empty state.
"$wine" "$exe" >"$work/unsigned.report" </dev/null || fail "the unsigned exe exited with $?"
"$wine" "$shipped/velmirant-cleanup.exe" >"$work/signed.report" </dev/null || fail "the signed exe exited with $?"
[ "$(grep -c ' -> ' "$work/unsigned.report")" -eq 14 ] || { cat -A "$work/unsigned.report"; fail "unexpected report"; }
cmp "$work/unsigned.report" "$work/signed.report" || fail "the signed exe's report differs from the unsigned one's"
echo "signed and unsigned exe give the same report under Wine: ok"
# The signed kit takes the signed tool beside it for the one it was built with (its Authenticode digest).
"$wine" "$shipped/velmirant-selfcheck.exe" /plan >"$work/plan.out" </dev/null || { cat "$work/plan.out"; fail "the signed kit refused the signed tool"; }
grep -qE 'velmirant-cleanup.exe, Authenticode SHA-256 [0-9a-f]{64}\)' "$work/plan.out" || fail "the signed kit's plan names no digest"
echo "the signed kit runs the signed tool: ok"
