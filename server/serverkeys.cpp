#include "serverkeys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace ServerKeys {
const char* const rootFile = "root.pem";
const char* const chainFile = "chain.pem";
const char* const leafKeyFile = "leaf.key";
const char* const sessionKeyFile = "session-private.pem";
const char* const sessionPublicFile = "session-public.pem";
const char* const clientKeyFile = "server-key.pem";
const char* const clientCaFile = "ca.pem";
}

namespace {
constexpr int sessionKeyBits = 3072;
constexpr long validitySeconds = 10L * 365 * 24 * 3600;
constexpr mode_t privateMode = 0600;
constexpr mode_t publicMode = 0644;
constexpr mode_t publicDirectoryMode = 0755;

// Both CA certificates may only vouch for this machine's own names.
const char* const loopbackOnly = "critical,permitted;DNS:localhost,permitted;IP:127.0.0.0/255.0.0.0,"
                                 "permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";

struct Free {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Certificate = std::unique_ptr<X509, Free>;
using Bio = std::unique_ptr<BIO, Free>;
using Extensions = std::vector<std::pair<int, const char*>>;

QString openSslError(const QString& what)
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return what + QStringLiteral(": ") + QString::fromLatin1(text);
}

QByteArray bioText(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, int(size));
}

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    const bool added = extension && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for `key`, signed by the issuer (self-signed when issuer is null).
Certificate certify(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                    const Extensions& extensions)
{
    Certificate made(X509_new());
    BIGNUM* serial = BN_new();
    bool ready = made && serial && X509_set_version(made.get(), X509_VERSION_3) == 1
        && BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1
        && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(made.get()))
        && X509_gmtime_adj(X509_getm_notBefore(made.get()), -3600)
        && X509_gmtime_adj(X509_getm_notAfter(made.get()), validitySeconds);
    BN_free(serial);
    if (!ready)
        return {};
    X509_NAME* name = X509_get_subject_name(made.get());
    ready = X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>("Oxbell Server"), -1, -1, 0)
            == 1
        && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName), -1,
                                      -1, 0)
            == 1
        && X509_set_issuer_name(made.get(), issuer ? X509_get_subject_name(issuer) : name) == 1
        && X509_set_pubkey(made.get(), key) == 1;
    for (const auto& [nid, value] : extensions)
        ready = ready && addExtension(made.get(), issuer ? issuer : made.get(), nid, value);
    if (!ready || X509_sign(made.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0)
        return {};
    return made;
}

QByteArray certificatePem(X509* certificate)
{
    Bio bio(BIO_new(BIO_s_mem()));
    return bio && PEM_write_bio_X509(bio.get(), certificate) == 1 ? bioText(bio.get()) : QByteArray();
}

QByteArray privateKeyPem(EVP_PKEY* key)
{
    Bio bio(BIO_new(BIO_s_mem()));
    return bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1
        ? bioText(bio.get())
        : QByteArray();
}

QByteArray publicKeyPem(EVP_PKEY* key)
{
    Bio bio(BIO_new(BIO_s_mem()));
    return bio && PEM_write_bio_PUBKEY(bio.get(), key) == 1 ? bioText(bio.get()) : QByteArray();
}

// Writes through a new file with the mode given from its creation on, then renames it into place,
// so that a private key is never readable by others, not even half-written.
bool writeFile(const QString& path, const QByteArray& bytes, mode_t mode, QString* error)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    bool written = fd >= 0 && ::fchmod(fd, mode) == 0;
    for (qint64 done = 0; written && done < bytes.size();) {
        const ssize_t step = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        written = step > 0;
        done += step;
    }
    written = written && ::fsync(fd) == 0;
    if (fd >= 0)
        written = ::close(fd) == 0 && written;
    written = written && ::rename(temporary.constData(), target.constData()) == 0;
    if (!written) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        ::unlink(temporary.constData());
    }
    return written;
}

QByteArray readFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return {};
    }
    return file.readAll();
}

// Root, intermediate and leaf; the files the server reads.
bool makeCertificates(const QDir& directory, QStringList* made, QString* error)
{
    const Key rootKey(EVP_EC_gen("P-256"));
    const Key intermediateKey(EVP_EC_gen("P-256"));
    const Key leafKey(EVP_EC_gen("P-256"));
    if (!rootKey || !intermediateKey || !leafKey) {
        *error = openSslError(QStringLiteral("making the TLS keys"));
        return false;
    }
    const Extensions ca{{NID_basic_constraints, "critical,CA:TRUE"},
                        {NID_key_usage, "critical,keyCertSign,cRLSign"},
                        {NID_subject_key_identifier, "hash"},
                        {NID_name_constraints, loopbackOnly}};
    Extensions intermediateExtensions{{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                                      {NID_authority_key_identifier, "keyid:always"}};
    intermediateExtensions.insert(intermediateExtensions.end(), ca.begin() + 1, ca.end());
    const Certificate root = certify(rootKey.get(), "Oxbell Server Root CA", nullptr, nullptr, ca);
    const Certificate intermediate = root
        ? certify(intermediateKey.get(), "Oxbell Server CA", root.get(), rootKey.get(), intermediateExtensions)
        : Certificate();
    const Certificate leaf = intermediate
        ? certify(leafKey.get(), "localhost", intermediate.get(), intermediateKey.get(),
                  {{NID_basic_constraints, "critical,CA:FALSE"},
                   {NID_key_usage, "critical,digitalSignature"},
                   {NID_ext_key_usage, "serverAuth"},
                   {NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1"},
                   {NID_subject_key_identifier, "hash"},
                   {NID_authority_key_identifier, "keyid:always"}})
        : Certificate();
    if (!leaf) {
        *error = openSslError(QStringLiteral("making the certificates"));
        return false;
    }
    const QByteArray leafKeyPem = privateKeyPem(leafKey.get());
    const std::vector<std::tuple<const char*, QByteArray, mode_t>> files{
        {ServerKeys::leafKeyFile, leafKeyPem, privateMode},
        {ServerKeys::rootFile, certificatePem(root.get()), publicMode},
        {ServerKeys::chainFile, certificatePem(leaf.get()) + certificatePem(intermediate.get()), publicMode}};
    for (const auto& [name, text, mode] : files) {
        if (text.isEmpty()) {
            *error = openSslError(QStringLiteral("writing %1").arg(QLatin1String(name)));
            return false;
        }
        const QString path = directory.filePath(QLatin1String(name));
        if (!writeFile(path, text, mode, error))
            return false;
        made->append(path);
    }
    return true;
}

bool makeSessionKeys(const QDir& directory, QStringList* made, QString* error)
{
    const QString privatePath = directory.filePath(QLatin1String(ServerKeys::sessionKeyFile));
    const QString publicPath = directory.filePath(QLatin1String(ServerKeys::sessionPublicFile));
    Key key;
    if (QFileInfo::exists(privatePath)) {
        // Only the public half is missing: it is taken from the private key that is kept.
        const QByteArray pem = readFile(privatePath, error);
        Bio bio(BIO_new_mem_buf(pem.constData(), pem.size()));
        key.reset(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (!key) {
            *error = error->isEmpty() ? openSslError(privatePath) : *error;
            return false;
        }
    } else {
        key.reset(EVP_RSA_gen(sessionKeyBits));
        const QByteArray pem = key ? privateKeyPem(key.get()) : QByteArray();
        if (pem.isEmpty()) {
            *error = openSslError(QStringLiteral("making the session key"));
            return false;
        }
        if (!writeFile(privatePath, pem, privateMode, error))
            return false;
        made->append(privatePath);
    }
    const QByteArray publicPem = publicKeyPem(key.get());
    if (publicPem.isEmpty() || !writeFile(publicPath, publicPem, publicMode, error))
        return false;
    made->append(publicPath);
    return true;
}
}

bool ServerKeys::make(const QString& directoryPath, QStringList* made, QString* error)
{
    QDir directory(directoryPath);
    if (!directory.mkpath(QStringLiteral("."))) {
        *error = directoryPath + QStringLiteral(": cannot create the directory");
        return false;
    }
    const auto exists = [&directory](const char* name) { return directory.exists(QLatin1String(name)); };
    if (!(exists(chainFile) && exists(leafKeyFile)) && !makeCertificates(directory, made, error))
        return false;
    return (exists(sessionKeyFile) && exists(sessionPublicFile)) || makeSessionKeys(directory, made, error);
}

bool ServerKeys::exportClientFiles(const QString& keyDirectory, const QString& outDirectory, QStringList* written,
                                   QString* error)
{
    const QDir keys(keyDirectory);
    const QString chainPath = keys.filePath(QLatin1String(chainFile));
    const QString publicPath = keys.filePath(QLatin1String(sessionPublicFile));
    const QByteArray chain = readFile(chainPath, error);
    const QByteArray publicPem = chain.isEmpty() ? QByteArray() : readFile(publicPath, error);
    if (publicPem.isEmpty()) {
        if (error->isEmpty())
            *error = QStringLiteral("%1 or %2 is empty").arg(chainPath, publicPath);
        return false;
    }
    Bio chainBio(BIO_new_mem_buf(chain.constData(), chain.size()));
    Certificate last;
    while (chainBio) {
        Certificate next(PEM_read_bio_X509(chainBio.get(), nullptr, nullptr, nullptr));
        if (!next)
            break;
        last = std::move(next);
    }
    ERR_clear_error();
    Bio publicBio(BIO_new_mem_buf(publicPem.constData(), publicPem.size()));
    const Key publicKey(publicBio ? PEM_read_bio_PUBKEY(publicBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!last || !publicKey || EVP_PKEY_get_base_id(publicKey.get()) != EVP_PKEY_RSA) {
        *error = !last ? chainPath + QStringLiteral(": no certificate")
                       : publicPath + QStringLiteral(": not an RSA public key");
        return false;
    }
    // A directory made here is writable by nobody else, so nobody can put other files in the place
    // of those written; one that exists, or a link in its place, may have been prepared by anyone.
    if (::mkdir(QFile::encodeName(outDirectory).constData(), publicDirectoryMode) != 0) {
        *error = errno == EEXIST
            ? outDirectory + QStringLiteral(" exists: give a directory that does not exist yet, and it is made")
            : QStringLiteral("%1: %2").arg(outDirectory, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const QDir out(outDirectory);
    const QString keyPath = out.absoluteFilePath(QLatin1String(clientKeyFile));
    const QString caPath = out.absoluteFilePath(QLatin1String(clientCaFile));
    if (!writeFile(keyPath, publicKeyPem(publicKey.get()), publicMode, error)
        || !writeFile(caPath, certificatePem(last.get()), publicMode, error))
        return false;
    *written = QStringList{keyPath, caPath};
    return true;
}
