#!/usr/bin/env bash
# Generates the practice course server's PKI into OUTDIR with the openssl command:
#   root CA -> intermediate CA -> leaf for localhost and 127.0.0.1 (served as chain.pem: leaf + intermediate),
#   the RSA key pair of the session negotiation, and two certificates that clients must refuse
#   (a leaf from an unrelated CA, and a leaf of our intermediate for another host name).
# Existing files are kept, so rebuilding does not change the keys.
set -euo pipefail
out=${1:?usage: gen-pki.sh OUTDIR}
mkdir -p "$out"
cd "$out"
umask 077

[ -f done.stamp ] && exit 0

days=3650
subj() { echo "/O=Oxbell Practice/CN=$1"; }

cat > ext.cnf <<'CNF'
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[wronghost]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong-host.invalid
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
CNF

key() { openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:"$2" -out "$1"; }

# sign NAME ISSUER SECTION CN
sign() {
    key "$1.key" 2048
    openssl req -new -key "$1.key" -subj "$(subj "$4")" -out "$1.csr"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial \
        -days $days -sha256 -extfile ext.cnf -extensions "$3" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr"
}

selfsigned() {
    key "$1.key" 2048
    openssl req -new -x509 -key "$1.key" -subj "$(subj "$2")" -days $days -sha256 \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" -out "$1.pem"
}

selfsigned root "Oxbell Practice Root CA"
sign intermediate root ca "Oxbell Practice Intermediate CA"
sign leaf intermediate leaf "localhost"
cat leaf.pem intermediate.pem > chain.pem

# A chain nobody trusts: a root of its own and a leaf under it.
selfsigned other-root "Unrelated Root CA"
sign other-leaf other-root leaf "localhost"
cat other-leaf.pem other-root.pem > other-chain.pem

# Our intermediate, but for a host name that is not ours.
sign wronghost intermediate wronghost "wrong-host.invalid"
cat wronghost.pem intermediate.pem > wronghost-chain.pem

# Session negotiation key pair (RSA-OAEP).
key session-private.pem 2048
openssl pkey -in session-private.pem -pubout -out session-public.pem

chmod 644 ./*.pem
chmod 600 ./*.key session-private.pem
rm -f ./*.srl
touch done.stamp
