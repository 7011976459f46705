#!/usr/bin/env bash
# The download: two releases of this commit give the same zip, which holds
# every page the README links to and verifies against its SHA256SUMS. Signed
# with a throwaway certificate authority's code-signing certificate, the host
# verifies against that authority, gives the unsigned bytes back once its
# signature is removed, and runs a service under Wine.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git -C "$repo" archive HEAD | tar -x -C "$work"
cd "$work"

scripts/release >/dev/null
cp dist/svcshim-*.zip first.zip
sleep 1
scripts/release >/dev/null
cmp first.zip dist/svcshim-*.zip
(cd dist && sha256sum -c --quiet svcshim-*.zip.sha256)
mkdir unpacked
(cd unpacked && unzip -q ../dist/svcshim-*.zip && sha256sum -c --quiet SHA256SUMS)
for page in $(grep -o '](\([^)#]*\)' README.md | sed 's/^](//' | grep -v '://' | sort -u); do
    [ -f "unpacked/$page" ] || { echo "FAIL: $page, which the README links to, is not in the zip"; exit 1; }
done

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 1 -subj "/CN=Throwaway CA" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Throwaway signer" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n' >signer.ext
openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile signer.ext -out signer.crt 2>/dev/null
openssl pkcs12 -export -inkey signer.key -in signer.crt -certfile ca.crt -out signer.pfx -passout pass:throwaway
SVCSHIM_SIGN_PASSWORD=throwaway scripts/release --sign signer.pfx >/dev/null
mkdir signed
(cd signed && unzip -q ../dist/svcshim-*.zip)
osslsigncode verify -CAfile ca.crt -in signed/svcshim.exe | grep -q '^Succeeded'
osslsigncode remove-signature -in signed/svcshim.exe -out removed.exe >/dev/null
cmp removed.exe unpacked/svcshim.exe
SVCSHIM_HOST="$work/signed/svcshim.exe" python3 "$repo/tests/e2e/test_spine.py" NotepadSvc
echo "PASS: the zip is reproducible and whole; the signed host verifies, strips back to the same bytes and runs"
