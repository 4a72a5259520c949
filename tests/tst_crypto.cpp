#include "cryptography/aeskeypair.h"
#include "cryptography/rsapublickey.h"
#include "support/processrun.h"
#include "support/testengine.h"
#include "support/timeouts.h"

#include <QFile>
#include <QTemporaryFile>
#include <QtTest>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

class TestCrypto : public QObject {
    Q_OBJECT

private slots:
    void aesSizeBytes_data();
    void aesSizeBytes();
    void keySizes_data();
    void keySizes();
    void roundTrip_data();
    void roundTrip();
    void matchesOpensslTool();
    void pairsAndDamage();

    void embeddedKeyMatchesServer();
    void rsaLengthLimit_data();
    void rsaLengthLimit();
    void badPem_data();
    void badPem();
};

namespace {
const QString publicPem = QStringLiteral(OXBELL_PKI_DIR "/session-public.pem");
const QString privatePem = QStringLiteral(OXBELL_PKI_DIR "/session-private.pem");

#ifdef Q_OS_WIN
// Under Wine, a Windows program cannot start the build machine's tool.
#define REQUIRE_OPENSSL_TOOL()                                                                                         \
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())                                           \
    QSKIP("No openssl tool for Windows")
#else
#define REQUIRE_OPENSSL_TOOL()
#endif

// The openssl tool over `input` (a tool none of us wrote, so it checks our use of the library).
ProcessOutcome openssl(const QStringList& arguments, const QByteArray& input)
{
    QTemporaryFile file;
    if (!file.open() || file.write(input) != input.size() || !file.flush())
        return {};
    return runProcess(QStringLiteral("openssl"), arguments + QStringList{QStringLiteral("-in"), file.fileName()},
                      QProcessEnvironment::systemEnvironment(), testWaitMs);
}

// What the course server reads from a block the client encrypted for it.
ProcessOutcome serverDecrypts(const QByteArray& block)
{
    return openssl({"pkeyutl", "-decrypt", "-inkey", privatePem, "-pkeyopt", "rsa_padding_mode:oaep", "-pkeyopt",
                    "rsa_oaep_md:sha1"},
                   block);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray everyByte(int repeats)
{
    QByteArray bytes;
    for (int i = 0; i < 256 * repeats; ++i)
        bytes.append(char(i));
    return bytes;
}
}

void TestCrypto::aesSizeBytes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("bytes");
    QTest::newRow("AES_128") << 0 << 16;
    QTest::newRow("AES_192") << 1 << 24;
    QTest::newRow("AES_256") << 2 << 32;
    QTest::newRow("none") << 3 << -1;
}

void TestCrypto::aesSizeBytes()
{
    QFETCH(int, size);
    QFETCH(int, bytes);
    QCOMPARE(AESKeyPair::aesSizeBytes(AESKeyPair::AES_SIZE(size)), bytes);
}

void TestCrypto::keySizes_data()
{
    QTest::addColumn<int>("keySize");
    QTest::addColumn<int>("ivSize");
    QTest::addColumn<int>("keyLength");
    QTest::addColumn<int>("ivLength");

    QTest::newRow("256/128") << 2 << 0 << 32 << 16;
    QTest::newRow("128/128") << 0 << 0 << 16 << 16;
    QTest::newRow("192/256") << 1 << 2 << 24 << 32;
    QTest::newRow("no such key size") << 3 << 0 << 0 << 16;
    QTest::newRow("no such IV size") << 2 << 3 << 32 << 0;
}

void TestCrypto::keySizes()
{
    QFETCH(int, keySize);
    QFETCH(int, ivSize);
    QFETCH(int, keyLength);
    QFETCH(int, ivLength);

    const AESKeyPair pair{AESKeyPair::AES_SIZE(keySize), AESKeyPair::AES_SIZE(ivSize)};
    const AESKeyPair other{AESKeyPair::AES_SIZE(keySize), AESKeyPair::AES_SIZE(ivSize)};
    QCOMPARE(pair.keyLength(), keyLength);
    QCOMPARE(pair.ivLength(), ivLength);
    QCOMPARE(pair.keyBytes().size(), keyLength);
    QCOMPARE(pair.ivBytes().size(), ivLength);
    QCOMPARE(pair.key() != nullptr, keyLength > 0);
    QCOMPARE(pair.iv() != nullptr, ivLength > 0);
    if (keyLength > 0)
        QVERIFY(pair.keyBytes() != other.keyBytes());
    if (ivLength > 0)
        QVERIFY(pair.ivBytes() != other.ivBytes());

    // The ciphertext depends on the key and IV bytes alone, never on memory past them.
    const QByteArray plain("any size will do\0with a NUL", 27);
    const QByteArray cipher = pair.encrypt(plain);
    if (keyLength == 0 || ivLength == 0) {
        QCOMPARE(cipher, QByteArray());
        QCOMPARE(pair.decrypt(QByteArray(32, 'x')), QByteArray());
        return;
    }
    QCOMPARE(cipher.size(), 32);
    QCOMPARE(pair.decrypt(cipher), plain);
    const AESKeyPair copy(pair.keyBytes(), pair.ivBytes());
    QCOMPARE(copy.encrypt(plain), cipher);
    QVERIFY(other.decrypt(cipher) != plain);
}

void TestCrypto::roundTrip_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("json") << QByteArray(R"({"email": "a@b.invalid", "password": "x"})");
    QTest::newRow("one short of a block") << QByteArray(15, 'a');
    QTest::newRow("a block of NUL bytes") << QByteArray(16, '\0');
    QTest::newRow("one past a block") << QByteArray(17, 'a');
    QTest::newRow("NUL inside") << QByteArray("ab\0cd\0", 6);
    QTest::newRow("every byte value") << everyByte(4);
    QTest::newRow("a script") << QByteArray(200000, 'p');
}

void TestCrypto::roundTrip()
{
    QFETCH(QByteArray, plain);
    const AESKeyPair pair;
    const QByteArray cipher = pair.encrypt(plain);
    // Padded up to the next whole block, a full block more when already whole.
    QCOMPARE(cipher.size(), (plain.size() / 16 + 1) * 16);
    QCOMPARE(pair.decrypt(cipher), plain);
    // One pair, one ciphertext per message: nothing is chained between messages.
    QCOMPARE(pair.encrypt(plain), cipher);
}

void TestCrypto::matchesOpensslTool()
{
    REQUIRE_OPENSSL_TOOL();
    const AESKeyPair pair;
    const QString text = QStringLiteral("Grüße \u2713 {\"grade\": 10}");
    const QByteArray cipher = pair.encrypt(text);
    QCOMPARE(cipher, pair.encrypt(text.toUtf8()));

    const QStringList cipherArguments{"enc", "-aes-256-cbc",
                                      "-K",  QString::fromLatin1(pair.keyBytes().toHex()),
                                      "-iv", QString::fromLatin1(pair.ivBytes().toHex())};
    const ProcessOutcome decrypted = openssl(cipherArguments + QStringList{"-d"}, cipher);
    QCOMPARE(decrypted.exitCode, 0);
    QCOMPARE(QString::fromUtf8(decrypted.standardOutput), text);
    const ProcessOutcome encrypted = openssl(cipherArguments + QStringList{"-e"}, everyByte(1));
    QCOMPARE(encrypted.exitCode, 0);
    QCOMPARE(pair.decrypt(encrypted.standardOutput), everyByte(1));
}

void TestCrypto::pairsAndDamage()
{
    // Every engine, and so every run, makes up a session pair of its own.
    TestEngine first;
    TestEngine second;
    QCOMPARE(first.sessionKeys.keyLength(), 32);
    QCOMPARE(first.sessionKeys.ivLength(), 16);
    QVERIFY(first.sessionKeys.keyBytes() != second.sessionKeys.keyBytes());
    QVERIFY(first.sessionKeys.ivBytes() != second.sessionKeys.ivBytes());

    // The server's copy of the pair, made from the exchanged bytes, reads what the client wrote.
    const QByteArray plain = R"({"state": {"passed": true}})";
    const AESKeyPair copy(first.sessionKeys.keyBytes(), first.sessionKeys.ivBytes());
    const QByteArray cipher = first.sessionKeys.encrypt(plain);
    QCOMPARE(copy.decrypt(cipher), plain);

    // Damage goes unreported, but never yields the message.
    QVERIFY(second.sessionKeys.decrypt(cipher) != plain);
    QVERIFY(copy.decrypt(cipher.left(cipher.size() - 16)) != plain);
    QVERIFY(copy.decrypt(cipher.left(cipher.size() - 5)) != plain);
    QCOMPARE(copy.decrypt(QByteArray()), QByteArray());
}

void TestCrypto::embeddedKeyMatchesServer()
{
    TestEngine engine;
    QVERIFY(!engine.serverKey.isNull());
    const QByteArray message = R"({"iv": "AAECAwQFBgcICQoLDA0ODw=="})";
    const QByteArray block = engine.serverKey.encrypt(message);
    QCOMPARE(block.size(), 256);
    REQUIRE_OPENSSL_TOOL();
    const ProcessOutcome outcome = serverDecrypts(block);
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.standardOutput, message);
}

void TestCrypto::rsaLengthLimit_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("fits");
    QTest::newRow("empty") << 0 << true;
    QTest::newRow("largest") << 256 - 42 << true;
    QTest::newRow("one too many") << 256 - 41 << false;
    QTest::newRow("far too many") << 1000 << false;
}

void TestCrypto::rsaLengthLimit()
{
    QFETCH(int, length);
    QFETCH(bool, fits);

    RsaPublicKey key;
    key.fromPem(QString::fromUtf8(readFile(publicPem)));
    QVERIFY(!key.isNull());
    const QByteArray message = everyByte(4).left(length);
    const QByteArray block = key.encrypt(message);
    if (!fits) {
        QCOMPARE(block, QByteArray());
        return;
    }
    QCOMPARE(block.size(), 256);
    REQUIRE_OPENSSL_TOOL();
    const ProcessOutcome outcome = serverDecrypts(block);
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.standardOutput, message);
}

void TestCrypto::badPem_data()
{
    QTest::addColumn<QByteArray>("pem");

    const QByteArray valid = readFile(publicPem);
    QVERIFY(valid.startsWith("-----BEGIN PUBLIC KEY-----"));
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not PEM") << QByteArray("ssh-rsa AAAA");
    QTest::newRow("cut short") << valid.left(valid.size() / 2);
    QTest::newRow("private key") << readFile(privatePem);

    // A public key, but not an RSA one.
    using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
    using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
    const Key ec(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    const Bio bio(BIO_new(BIO_s_mem()), &BIO_free);
    QVERIFY(ec && bio && PEM_write_bio_PUBKEY(bio.get(), ec.get()) == 1);
    char* text = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &text);
    QTest::newRow("EC key") << QByteArray(text, int(length));
}

void TestCrypto::badPem()
{
    QFETCH(QByteArray, pem);
    RsaPublicKey key;
    key.fromPem(QString::fromUtf8(pem));
    QVERIFY(key.isNull());
    QCOMPARE(key.encrypt("hello"), QByteArray());
}

QTEST_GUILESS_MAIN(TestCrypto)
#include "tst_crypto.moc"
