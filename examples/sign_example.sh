#!/bin/sh
# Signs a copy of an example with a code-signing certificate issued by a
# throw-away test CA made on the spot (the CA is not trusted anywhere).
#   sign_example.sh IN.exe OUT.exe WORKDIR
set -eu
in=$1 out=$2 work=$3
mkdir -p "$work"
cd "$work"
if [ ! -f ca.key ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Quillmark Example Test CA/O=Quillmark Examples" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout ca.key -out ca.pem 2>/dev/null
fi
if [ ! -f signer.key ]; then
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Quillmark Examples/O=Quillmark Examples" \
    -keyout signer.key -out signer.csr 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 -extfile signer.ext \
    -out signer.pem 2>/dev/null
  cat signer.pem ca.pem >chain.pem
fi
rm -f "$out"
osslsigncode sign -certs chain.pem -key signer.key -n "Quillmark signed example" -h sha256 \
  -in "$in" -out "$out" >/dev/null
chmod 755 "$out"
