#include "engine/settingsfile.h"
#include "support/processrun.h"
#include "support/testengine.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

#ifndef Q_OS_WIN
#include <csignal>

#include <sys/resource.h>
#endif

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstRunWritesDefaultsOnce();
    void unusableFiles_data();
    void unusableFiles();
    void passwordsMaskedInLog();
    void unwritableDirectory();

    void fileReplacedWhole();
    void failedWriteKeepsFile();

    void nextServerNumber_data();
    void nextServerNumber();
    void serverUrl_data();
    void serverUrl();

private:
    QString pathOf(const QString& fileName) const { return configHome + QStringLiteral("/oxbell/") + fileName; }
    void writeFile(const QString& fileName, const QByteArray& contents);

    std::unique_ptr<QTemporaryDir> config;
    QString configHome;
    QByteArray oldConfig;
};

namespace {
const QString appFile = QStringLiteral("app_settings.json");
const QString userFile = QStringLiteral("user_settings.json");

const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
// The owner, group and other bits; the "user" ones only repeat the owner's for the file's owner.
const int accessBits = 0xF0FF;
#ifdef Q_OS_WIN
// There Qt's bits come from the read-only attribute, not from who may read the file.
#define COMPARE_OWNER_ONLY(path)
#else
#define COMPARE_OWNER_ONLY(path) QCOMPARE(QFile::permissions(path) & accessBits, ownerOnly)
#endif

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

#ifndef Q_OS_WIN
// Under a file size limit far below what is written, with the signal that would end it ignored.
int limitedWriteChild(const QString& path)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 64;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 2;
    SettingsFile file(path);
    const bool written = file.write(QByteArray(4096, 'x'));
    std::fputs(qPrintable(file.errorString()), stdout);
    return written ? 1 : 0;
}
#endif

QStringList captured;
void capture(QtMsgType, const QMessageLogContext&, const QString& message)
{
    captured.append(message);
}
}

void TestSettings::init()
{
#ifdef Q_OS_WIN
    // There the configuration folder comes from the account, not the environment: the test's own, emptied.
    configHome = QStandardPaths::writableLocation(QStandardPaths::ConfigLocation);
    QVERIFY(QDir(configHome).removeRecursively() && QDir().mkpath(configHome));
#else
    config = std::make_unique<QTemporaryDir>();
    QVERIFY(config->isValid());
    configHome = config->path();
#endif
    oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", configHome.toUtf8());
}

void TestSettings::cleanup()
{
    qputenv("XDG_CONFIG_HOME", oldConfig);
    config.reset();
}

void TestSettings::writeFile(const QString& fileName, const QByteArray& contents)
{
    QVERIFY(QDir().mkpath(configHome + QStringLiteral("/oxbell")));
    QFile file(pathOf(fileName));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(contents), contents.size());
}

void TestSettings::firstRunWritesDefaultsOnce()
{
    TestEngine engine;
    QCOMPARE(engine.settingsDir(), configHome + QStringLiteral("/oxbell"));
    engine.ensureSettingsDirExists();
    engine.ensureAppSettingsExists(appFile);
    const QVariantMap app = engine.getSettings(appFile);
    engine.ensureUserSettingsExists(userFile);
    const QVariantMap user = engine.getSettings(userFile);
    QCOMPARE(engine.hookNames(), QStringList());

    const QUrl url(app.value(QStringLiteral("proctor_server")).toMap().value(QStringLiteral("url")).toString());
    QVERIFY(url.isValid());
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    const QVariantMap expected = QJsonDocument::fromJson(R"({
        "servers": {"web1": {"address": "localhost", "port": "8082"},
                    "dbnode1": {"address": "localhost", "port": "27017"}},
        "proxy": {"type": "none", "host": "localhost", "port": "80"}})")
                                     .object()
                                     .toVariantMap();
    QCOMPARE(user, expected);
    // Indented, keys sorted, as the settings dialog writes them too.
    QCOMPARE(contentsOf(pathOf(userFile)), QJsonDocument::fromVariant(expected).toJson());
    // It may come to hold proxy credentials.
    COMPARE_OWNER_ONLY(pathOf(userFile));

    // Existing files are neither checked nor completed; a deleted one comes back with the defaults.
    const QByteArray edited = R"({"proctor_server": {"url": "https://example.invalid"}})";
    writeFile(appFile, edited);
    engine.ensureAppSettingsExists(appFile);
    QCOMPARE(contentsOf(pathOf(appFile)), edited);
    QVERIFY(QFile::remove(pathOf(appFile)));
    engine.ensureAppSettingsExists(appFile);
    QCOMPARE(engine.getSettings(appFile), app);
    QCOMPARE(engine.hookNames(), QStringList());
}

void TestSettings::unusableFiles_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("message");

    QTest::newRow("empty") << QByteArray() << QStringLiteral("Malformed settings file: ");
    QTest::newRow("cut short") << QByteArray(R"({"servers": {"web1": )") << QStringLiteral("Malformed settings file: ");
    QTest::newRow("array: no settings, no message") << QByteArray(R"([{"servers": {}}])") << QString();
    QTest::newRow("directory in its place") << QByteArray() << QStringLiteral("Failed to open settings file: ");
}

void TestSettings::unusableFiles()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, message);

    const QString path = pathOf(userFile);
    QString reason;
    if (message.startsWith(QStringLiteral("Failed"))) {
        // Root reads any file whatever its mode, but no one reads a directory as a file.
        QVERIFY(QDir().mkpath(path));
        QFile directory(path);
        QVERIFY(!directory.open(QIODevice::ReadOnly));
        reason = directory.errorString();
    } else {
        writeFile(userFile, contents);
        QJsonParseError error;
        QJsonDocument::fromJson(contents, &error);
        reason = error.errorString();
    }

    TestEngine engine;
    engine.ensureUserSettingsExists(userFile);
    QCOMPARE(engine.getSettings(userFile), QVariantMap());
    if (message.isEmpty()) {
        QCOMPARE(engine.hookNames(), QStringList());
    } else {
        QCOMPARE(engine.hookNames(), QStringList{QStringLiteral("errorMessage")});
        const QVariantList arguments = engine.calls.first().arguments;
        QCOMPARE(arguments, (QVariantList{message + path + QLatin1Char(' ') + reason, true}));
    }
}

void TestSettings::passwordsMaskedInLog()
{
    writeFile(userFile, R"({
        "proxy": {"type": "http", "host": "proxy.invalid", "port": "3128",
                  "username": "student", "password": "hunter2-proxy"},
        "servers": {"db": {"address": "localhost", "port": "27017", "password": "hunter2-db"}},
        "accounts": [{"password": "hunter2-listed"}, "password"]})");

    // Left readable by others by an earlier version: closed to them once read.
    QVERIFY(QFile::setPermissions(pathOf(userFile), ownerOnly | QFile::ReadGroup | QFile::ReadOther));
    TestEngine engine;
    captured.clear();
    const QtMessageHandler testHandler = qInstallMessageHandler(capture);
    const QVariantMap settings = engine.getSettings(userFile);
    qInstallMessageHandler(testHandler);
    COMPARE_OWNER_ONLY(pathOf(userFile));

    const QStringList read = captured.filter(QStringLiteral("Read:"));
    QCOMPARE(read.size(), 1);
    QVERIFY2(!read.first().contains(QStringLiteral("hunter2")), qPrintable(read.first()));
    QCOMPARE(read.first().count(QStringLiteral("********")), 3);
    QVERIFY(read.first().contains(QStringLiteral("student")));
    // Only the log is masked: the engine works with the real values.
    QCOMPARE(settings.value(QStringLiteral("proxy")).toMap().value(QStringLiteral("password")).toString(),
             QStringLiteral("hunter2-proxy"));
}

void TestSettings::unwritableDirectory()
{
    // A file where the settings directory should be: nothing can be created below it.
    QFile blocker(configHome + QStringLiteral("/oxbell"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    TestEngine engine;
    engine.ensureSettingsDirExists();
    engine.ensureUserSettingsExists(userFile);
    QCOMPARE(engine.getSettings(userFile), QVariantMap());

    const QList<TestEngine::Call> errors = engine.callsOf(QStringLiteral("errorMessage"));
    QCOMPARE(engine.hookNames().size(), 2);
    QCOMPARE(errors.size(), 2);
    QVERIFY(errors[0].arguments[0].toString().startsWith(QStringLiteral("Error saving settings to ") + pathOf(userFile)
                                                         + QLatin1Char(' ')));
    QCOMPARE(errors[0].arguments[1], QVariant(false));
    QVERIFY(errors[1].arguments[0].toString().startsWith(QStringLiteral("Failed to open settings file: ")
                                                         + pathOf(userFile) + QLatin1Char(' ')));
    QCOMPARE(errors[1].arguments[1], QVariant(true));
}

void TestSettings::fileReplacedWhole()
{
    const QString path = configHome + QStringLiteral("/settings.json");
    QVERIFY(QFile(path).open(QIODevice::WriteOnly));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));

    SettingsFile file(path);
    file.setOwnerOnly(true);
    QVERIFY(file.write("{\n}\n"));
    QCOMPARE(file.errorString(), QString());
    QCOMPARE(contentsOf(path), QByteArray("{\n}\n"));
    COMPARE_OWNER_ONLY(path);
    QCOMPARE(QDir(configHome).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("settings.json")});
}

void TestSettings::failedWriteKeepsFile()
{
    const QString path = configHome + QStringLiteral("/settings.json");
    const QByteArray before = "{\n    \"kept\": true\n}\n";
    QFile existing(path);
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write(before);
    existing.close();

#ifndef Q_OS_WIN
    // The disk fills up in the middle of the write (Windows has no file size limit to set).
    const ProcessOutcome outcome = runSelfAsChild(QStringLiteral("limited-write"), {path});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY(!outcome.standardOutput.isEmpty());
    QCOMPARE(contentsOf(path), before);
    QCOMPARE(QDir(configHome).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("settings.json")});
#endif

    // The directory is gone.
    SettingsFile orphan(configHome + QStringLiteral("/gone/settings.json"));
    QVERIFY(!orphan.write(before));
    QVERIFY(!orphan.errorString().isEmpty());
    QVERIFY(!QFile::exists(orphan.path()));
}

void TestSettings::nextServerNumber_data()
{
    QTest::addColumn<QVariantMap>("servers");
    QTest::addColumn<int>("expected");

    const QVariantMap server{{QStringLiteral("address"), QStringLiteral("localhost")}};
    auto named = [&server](const QStringList& names) {
        QVariantMap servers;
        for (const QString& name : names)
            servers.insert(name, server);
        return servers;
    };
    QTest::newRow("numbers compared as numbers") << named({"newServer3", "newServer10", "web1"}) << 11;
    QTest::newRow("names that do not count")
        << named({"newServer", "newServerX", "NewServer4", "newserver5", "newServer7b", "web1"}) << 0;
    QTest::newRow("no servers") << QVariantMap() << 0;
    QTest::newRow("zero") << named({"newServer0"}) << 1;
    QTest::newRow("beyond int") << named({"newServer2", "newServer99999999999"}) << 3;
    QTest::newRow("no successor") << named({"newServer4", "newServer2147483647"}) << 5;
}

void TestSettings::nextServerNumber()
{
    QFETCH(QVariantMap, servers);
    QFETCH(int, expected);

    QVariantMap settings;
    if (!servers.isEmpty())
        settings.insert(QStringLiteral("servers"), servers);
    QCOMPARE(Oxbell::nextServerNumberOf(settings), expected);
}

void TestSettings::serverUrl_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("expected");

    QTest::newRow("https 443") << "https://grader.invalid:443"
                               << "https://grader.invalid";
    QTest::newRow("http 80 with a path") << "http://grader.invalid:80/api"
                                         << "http://grader.invalid/api";
    QTest::newRow("https 80 kept") << "https://grader.invalid:80"
                                   << "https://grader.invalid:80";
    QTest::newRow("http 443 kept") << "http://grader.invalid:443"
                                   << "http://grader.invalid:443";
    QTest::newRow("other port kept") << "https://127.0.0.1:9443"
                                     << "https://127.0.0.1:9443";
    QTest::newRow("no port") << "https://grader.invalid"
                             << "https://grader.invalid";
    QTest::newRow("no url") << QString() << QString();
}

void TestSettings::serverUrl()
{
    QFETCH(QString, configured);
    QFETCH(QString, expected);

    QVariantMap settings;
    if (!configured.isNull())
        settings.insert(QStringLiteral("proctor_server"), QVariantMap{{QStringLiteral("url"), configured}});
    QCOMPARE(Oxbell::serverUrlOf(settings).toString(), expected);
}

int main(int argc, char** argv)
{
#ifndef Q_OS_WIN
    const ChildRequest child = childRequest(argc, argv);
    if (child.name == QLatin1String("limited-write") && child.arguments.size() == 1)
        return limitedWriteChild(child.arguments.first());
#endif
    QCoreApplication application(argc, argv);
    TestSettings test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings.moc"
