#!/usr/bin/env bash
# Packs the 32-bit release, README.md with docs/removal.md and docs/fleet.md (the README links to
# both), the self-check kit (velmirant-selfcheck.exe and its Windows Sandbox configuration) and
# SHA256SUMS into build/velmirant-cleanup-VERSION.zip, and writes the zip's own SHA-256 beside it,
# build/velmirant-cleanup-VERSION.zip.sha256 (sha256sum's format, after a "#" line naming the signer),
# to be published with the zip: SHA256SUMS inside the zip cannot vouch for the zip.
# With SIGN_PFX (a PKCS#12 file) and SIGN_PASSWORD set, both executables in the zip are signed
# (Authenticode, SHA-256); SIGN_TIMESTAMP_URL adds an RFC 3161 time stamp from that server. The
# signer named is the subject of the PFX's certificate, as Windows shows it.
# DIST_EXE (default build/win32/velmirant-cleanup.exe) is the executable to pack, with the
# self-check built beside it; neither is modified, copies are signed. DIST_DIR (default build) receives the
# zip and the staging folder.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(velmirant-cleanup VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=velmirant-cleanup-$version
exe=${DIST_EXE:-$root/build/win32/velmirant-cleanup.exe}
out=${DIST_DIR:-$root/build}
zip=$out/$name.zip
stage_root=$out/dist
stage=$stage_root/$name
selfcheck=$(dirname "$exe")/velmirant-selfcheck.exe
for built in "$exe" "$selfcheck"; do
  [ -f "$built" ] || { echo "dist: $built not found; build the win32 preset first" >&2; exit 1; }
done
if [ -n "${SIGN_PFX:-}" ] && [ -z "${SIGN_PASSWORD+set}" ]; then
  echo "dist: SIGN_PFX is set but SIGN_PASSWORD is not" >&2
  exit 1
fi

rm -rf "$stage_root" "$zip" "$zip.sha256"
done_ok=0
# Whatever stops the script midway leaves neither a zip nor a half-made staging folder.
trap '[ "$done_ok" = 1 ] || rm -rf "$stage_root" "$zip" "$zip.sha256"' EXIT
mkdir -p "$stage/docs"
cp "$root/README.md" "$stage/"
cp "$root/docs/removal.md" "$root/docs/fleet.md" "$stage/docs/"
# The sandbox maps the folder the zip unpacks to when unpacked to C:\.
sed "s/@VERSION@/$version/" "$root/selfcheck/velmirant-selfcheck.wsb" >"$stage/velmirant-selfcheck.wsb"
if [ -n "${SIGN_PFX:-}" ]; then
  timestamp=()
  [ -z "${SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$SIGN_TIMESTAMP_URL")
  for built in "$exe" "$selfcheck"; do
    # The password goes through a pipe, not the command line, where other users could read it.
    # Its messages, also those of a failure, go to standard output (older versions: only there).
    if ! log=$(osslsigncode sign -pkcs12 "$SIGN_PFX" -readpass <(printf '%s' "$SIGN_PASSWORD") -h sha256 \
      -n "velmirant-cleanup" "${timestamp[@]}" -in "$built" -out "$stage/$(basename "$built")" 2>&1); then
      printf '%s\n' "$log" >&2
      echo "dist: signing failed; no zip was made" >&2
      exit 1
    fi
  done
  signed="signed with $SIGN_PFX${SIGN_TIMESTAMP_URL:+, time-stamped by $SIGN_TIMESTAMP_URL}"
  # The subject in the form Windows shows it (the common name first, ", " between parts). A PFX
  # made with older algorithms needs OpenSSL 3's -legacy.
  signer=
  for legacy in "" -legacy; do
    signer=$(printf '%s' "$SIGN_PASSWORD" | openssl pkcs12 $legacy -in "$SIGN_PFX" -passin stdin -nokeys -clcerts \
      2>/dev/null | openssl x509 -noout -subject -nameopt RFC2253,sep_comma_plus_space 2>/dev/null) && break
  done
  signer=${signer#subject=}
  signer_line="# signer: ${signer:-unknown (openssl could not read the certificate in $(basename "$SIGN_PFX"))}"
else
  cp "$exe" "$selfcheck" "$stage/"
  signed="UNSIGNED (set SIGN_PFX and SIGN_PASSWORD to sign)"
  signer_line="# signer: none, the executables are not signed"
fi
(cd "$stage" && sha256sum velmirant-cleanup.exe velmirant-selfcheck.exe velmirant-selfcheck.wsb README.md \
  docs/removal.md docs/fleet.md >SHA256SUMS)
# Fixed times and no extra attributes, so the same sources give the same archive (unsigned: a
# signature carries its signing time).
touch -d '2000-01-01 00:00:00 UTC' "$stage" "$stage"/* "$stage"/docs/*
(cd "$stage_root" && zip -q -X -r "$zip" "$name")
{ echo "$signer_line"; (cd "$out" && sha256sum "$name.zip"); } >"$zip.sha256"
done_ok=1
echo "$zip: executables $signed"
(cd "$stage" && cat SHA256SUMS)
echo "$zip.sha256, to publish beside the zip:"
cat "$zip.sha256"
