#!/usr/bin/env bash
# `make dist` signing, with a throwaway self-signed code-signing certificate: the zip holds the
# tool, the self-check kit, README.md, docs/removal.md and docs/fleet.md as in the sources, every
# relative link in those documents leads to a file in the zip, its sums cover every file and
# verify, the zip's own sum published beside it verifies and names the signer, both signatures
# verify, the signed copy passes the static checks, a wrong password leaves no zip, the unsigned
# build is untouched, the signed copy runs under Wine with the unsigned one's report, and the
# signed kit takes the signed tool for its own.
# Usage: signing.sh SOURCE_DIR EXE VERSION PYTHON WINE PREFIX_TEMPLATE
set -eu
source_dir=$1 exe=$2 version=$3 python=$4 wine=$5 template=$6
. "$source_dir/tests/e2e/prefix.sh"
# Wine runs where the release's suite runs: on the host, or in the root scripts/wine8.sh keeps,
# which sees the build folder, so the work folder is made there.
wine8=(bash "$source_dir/scripts/wine8.sh" run)
work=$(mktemp -d "$(dirname "$template")/signing.XXXXXX")
prefix=$work/prefix
cleanup() {
  # shellcheck disable=SC2016
  if [ -d "$prefix" ]; then "${wine8[@]}" bash -c '. "$0/tests/e2e/prefix.sh" && end_server "$1"' "$source_dir" "$prefix"; fi
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
(cd "$work/out" && sha256sum --strict -c "$name.zip.sha256") || fail "$name.zip.sha256 does not match the zip"
[ "$(head -n 1 "$work/out/$name.zip.sha256")" = "# signer: CN=velmirant-cleanup test signer" ] ||
  fail "$name.zip.sha256 does not name the certificate's subject: $(head -n 1 "$work/out/$name.zip.sha256")"
files=$(cd "$shipped" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[ "$files" = "README.md docs/fleet.md docs/removal.md velmirant-cleanup.exe velmirant-selfcheck.exe velmirant-selfcheck.wsb " ] ||
  fail "the zip holds: $files"
[ "$(cut -d' ' -f3- "$shipped/SHA256SUMS" | LC_ALL=C sort | tr '\n' ' ')" = "$files" ] ||
  fail "SHA256SUMS does not list every file of the zip: $(cut -d' ' -f3- "$shipped/SHA256SUMS" | tr '\n' ' ')"
for doc in README.md docs/removal.md docs/fleet.md; do
  cmp "$source_dir/$doc" "$shipped/$doc" || fail "the zip's $doc is not the sources' one"
  # Every relative link, less its #anchor, names a file the zip holds.
  for link in $(grep -o '](\([^)#:]*\)[)#]' "$shipped/$doc" | sed 's/^](//; s/.$//' | grep . | sort -u); do
    [ -f "$(dirname "$shipped/$doc")/$link" ] || fail "$doc links $link, which the zip does not hold"
  done
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

[ -f "$template/system.reg" ] || fail "no Wine prefix template at $template (the wine_prefix fixture makes it)"
copy_prefix "$template" "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" LC_ALL=C.UTF-8
# Nothing is seeded, so both runs meet the same empty state.
"${wine8[@]}" "$wine" "$exe" >"$work/unsigned.report" </dev/null || fail "the unsigned exe exited with $?"
"${wine8[@]}" "$wine" "$shipped/velmirant-cleanup.exe" >"$work/signed.report" </dev/null || fail "the signed exe exited with $?"
[ "$(grep -c ' -> ' "$work/unsigned.report")" -eq 14 ] || { cat -A "$work/unsigned.report"; fail "unexpected report"; }
cmp "$work/unsigned.report" "$work/signed.report" || fail "the signed exe's report differs from the unsigned one's"
echo "signed and unsigned exe give the same report under Wine: ok"
# The signed kit takes the signed tool beside it for the one it was built with (its Authenticode digest).
"${wine8[@]}" "$wine" "$shipped/velmirant-selfcheck.exe" /plan >"$work/plan.out" </dev/null || { cat "$work/plan.out"; fail "the signed kit refused the signed tool"; }
grep -qE 'velmirant-cleanup.exe, Authenticode SHA-256 [0-9a-f]{64}\)' "$work/plan.out" || fail "the signed kit's plan names no digest"
echo "the signed kit runs the signed tool: ok"
