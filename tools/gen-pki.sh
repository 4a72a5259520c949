#!/usr/bin/env bash
# Generates the practice course server's PKI into OUTDIR with the openssl command:
#   root CA -> intermediate CA -> leaf for localhost, 127.0.0.1 and ::1 (served as chain.pem: leaf +
#   intermediate), the RSA key pair of the session negotiation, and certificates that clients must
#   refuse (a leaf from an unrelated CA, a leaf of our intermediate for another host name, and one
#   that names localhost and also a name outside this machine).
# Both CAs carry name constraints: they vouch for localhost and the loopback addresses only, so their
# keys, which lie in the build tree, cannot make a certificate that a client accepts for any other
# server. Existing files of the same generation are kept, so rebuilding does not change the keys.
set -euo pipefail
out=${1:?usage: gen-pki.sh OUTDIR}
mkdir -p "$out"
cd "$out"
umask 077

generation=2
[ "$(cat done.stamp 2>/dev/null)" = "$generation" ] && exit 0

days=3650
subj() { echo "/O=Oxbell Practice/CN=$1"; }

cat > ext.cnf <<'CNF'
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
nameConstraints = critical, @loopback
[loopback]
permitted;DNS = localhost
permitted;IP.1 = 127.0.0.0/255.0.0.0
permitted;IP.2 = ::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff
[ca_plain]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[outside]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, DNS:course.oxbell.invalid
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

# selfsigned NAME CN [SECTION]: a root CA, with the extensions of SECTION when given.
selfsigned() {
    key "$1.key" 2048
    openssl req -new -x509 -key "$1.key" -subj "$(subj "$2")" -days $days -sha256 \
        -config ext.cnf -extensions "${3:-ca_plain}" -out "$1.pem"
}

selfsigned root "Oxbell Practice Root CA" ca
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

# Our intermediate, for localhost and for a name outside this machine: the constraints refuse it.
sign outside intermediate outside "localhost"
cat outside.pem intermediate.pem > outside-chain.pem

# Session negotiation key pair (RSA-OAEP).
key session-private.pem 2048
openssl pkey -in session-private.pem -pubout -out session-public.pem

chmod 644 ./*.pem
chmod 600 ./*.key session-private.pem
rm -f ./*.srl
echo $generation > done.stamp
