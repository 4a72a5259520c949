#include "routes.h"

#include "coursedirectory.h"
#include "cryptography/aeskeypair.h"
#include "cryptography/rsaprivatekey.h"
#include "database.h"
#include "grade.h"
#include "loginthrottle.h"
#include "passwordhash.h"
#include "peeraddress.h"
#include "sessionstore.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {
const char* const cookieName = "oxbell_session";
const char* const plainType = "text/plain; charset=utf-8";
const char* const cipherType = "application/octet-stream";
constexpr int ivLength = 16;
constexpr int keyLength = 32;

void setContent(HttpReply& response, std::string body, const char* type)
{
    response.body = std::move(body);
    response.contentType = type;
}

void plainReply(HttpReply& response, int status, const QString& text)
{
    response.status = status;
    setContent(response, text.toStdString(), plainType);
}

void encryptedReply(HttpReply& response, const Session& session, const QByteArray& plain)
{
    const QByteArray cipher = AESKeyPair(session.key, session.iv).encrypt(plain);
    response.status = 200;
    setContent(response, cipher.toStdString(), cipherType);
}

QString pathOf(const HttpRequest& request)
{
    return QString::fromStdString(request.path);
}

QByteArray cookieToken(const HttpRequest& request)
{
    const QByteArray prefix = QByteArray(cookieName) + '=';
    for (const std::string& value : request.cookies) {
        const QByteArray header = QByteArray::fromStdString(value);
        for (const QByteArray& pair : header.split(';')) {
            const QByteArray cookie = pair.trimmed();
            if (cookie.startsWith(prefix))
                return cookie.mid(prefix.size());
        }
    }
    return {};
}

bool isLoopback(const std::string& address)
{
    const QString peer = QString::fromStdString(address);
    return peer.startsWith(QLatin1String("127.")) || peer == QLatin1String("::1")
        || peer.startsWith(QLatin1String("::ffff:127."));
}

QString points(double value)
{
    return QString::number(value);
}
}

Routes::Routes(const CourseDirectory& courseDirectory, Database& accounts, SessionStore& sessionStore,
               LoginThrottle& loginThrottle, const RsaPrivateKey& negotiationKey, FaultInjector* faultInjector,
               Settings routeSettings)
    : courses(courseDirectory)
    , database(accounts)
    , sessions(sessionStore)
    , throttle(loginThrottle)
    , sessionKey(negotiationKey)
    , faults(faultInjector)
    , settings(std::move(routeSettings))
{
}

size_t Routes::bodyLimit(const std::string& method, const std::string& path)
{
    if (method != "POST")
        return 0;
    if (path == "/negotiate")
        return negotiationBodyBytes;
    if (path == "/login")
        return loginBodyBytes;
    if (path.rfind("/grade/", 0) == 0)
        return gradeBodyBytes;
    return otherBodyBytes;
}

HttpReply Routes::serve(const HttpRequest& request)
{
    HttpReply response;
    try {
        route(request, response);
    } catch (const std::exception&) {
        response = HttpReply();
        plainReply(response, 500, QStringLiteral("Internal server error"));
    }
    const QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' '
        + QByteArray::fromStdString(request.remoteAddress) + ':' + QByteArray::number(request.remotePort) + ' '
        + QByteArray::fromStdString(request.method)
        + ' '
        // The path arrives percent-decoded; encoded again, it cannot break the log's lines.
        + QByteArray::fromStdString(request.path).toPercentEncoding("/!$&'()*+,;=:@") + ' '
        + QByteArray::number(response.status) + ' ' + QByteArray::number(qulonglong(response.body.size()))
        + " (request " + QByteArray::number(qulonglong(request.body.size())) + ")\n";
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    return response;
}

void Routes::route(const HttpRequest& request, HttpReply& response)
{
    const std::string& method = request.method;
    const std::string& path = request.path;
    // A path that starts with `prefix` and goes on after it.
    const auto under = [&path](const char* prefix) {
        const size_t length = std::strlen(prefix);
        return path.size() > length && path.compare(0, length, prefix) == 0;
    };
    Handler handler = nullptr;
    if (method == "GET" && path == "/version")
        handler = &Routes::version;
    else if (method == "POST" && path == "/negotiate")
        handler = &Routes::negotiate;
    else if (method == "POST" && path == "/login")
        handler = &Routes::login;
    else if (method == "GET" && path == "/grades")
        handler = &Routes::grades;
    else if (method == "GET" && under("/download/init/"))
        handler = &Routes::downloadInit;
    else if (method == "GET" && under("/download/"))
        handler = &Routes::download;
    else if (method == "POST" && under("/grade/"))
        handler = &Routes::grade;
    if (!handler) {
        if (faults && path == "/_faults" && method == "POST")
            addFault(request, response);
        else if (faults && path == "/_faults" && method == "DELETE")
            clearFaults(request, response);
        else
            plainReply(response, 404,
                       QStringLiteral("No such endpoint: %1 %2").arg(QString::fromStdString(method), pathOf(request)));
        return;
    }

    using Kind = FaultInjector::Fault::Kind;
    FaultInjector::Fault fault;
    const bool faulted = faults && faults->take(pathOf(request), &fault);
    if (!faulted || !injectFault(fault, request, response))
        (this->*handler)(request, response);
    if (faulted && (fault.kind == Kind::DropAfter || fault.kind == Kind::DropBefore))
        response.ending = HttpReply::Ending::Closed;
}

bool Routes::injectFault(const FaultInjector::Fault& fault, const HttpRequest& request, HttpReply& response)
{
    using Kind = FaultInjector::Fault::Kind;
    switch (fault.kind) {
    case Kind::Status:
        response.status = fault.status;
        setContent(response, fault.body.toStdString(), plainType);
        return true;
    case Kind::BadJson: {
        const QByteArray notJson("{\"this is\": not JSON");
        Session session;
        const QByteArray token = cookieToken(request);
        if (request.path != "/version" && sessions.find(token, &session) && session.hasKeys()) {
            encryptedReply(response, session, notJson);
        } else {
            response.status = 200;
            setContent(response, notJson.toStdString(), "application/json");
        }
        return true;
    }
    case Kind::BadDecrypt:
        // Not a whole number of cipher blocks, so no key decrypts it.
        response.status = 200;
        setContent(response, std::string("this is not ciphertext!"), cipherType);
        return true;
    case Kind::Delay:
        std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
        return false;
    case Kind::DropAfter:
        return false;
    case Kind::DropBefore:
        return true;
    case Kind::Drop:
        // The headers promise a body that never comes: the connection closes mid-reply.
        response.status = 200;
        response.contentType = cipherType;
        response.ending = HttpReply::Ending::CutShort;
        response.promisedBytes = 1024;
        return true;
    }
    return false;
}

bool Routes::sessionOf(const HttpRequest& request, HttpReply& response, bool needLogin, Session* session,
                       QByteArray* token)
{
    const QByteArray cookie = cookieToken(request);
    if (cookie.isEmpty() || !sessions.find(cookie, session) || !session->hasKeys()) {
        plainReply(response, 400,
                   QStringLiteral("No session keys: negotiate the IV and the key with /negotiate first"));
        return false;
    }
    if (needLogin && !session->loggedIn()) {
        plainReply(response, 401, QStringLiteral("Not logged in"));
        return false;
    }
    if (token)
        *token = cookie;
    return true;
}

bool Routes::decryptBody(const HttpRequest& request, HttpReply& response, const Session& session, QByteArray* plain)
{
    const AESKeyPair cipher(session.key, session.iv);
    const QByteArray body = QByteArray::fromStdString(request.body);
    *plain = cipher.decrypt(body);
    // The cipher does not report bad padding, but every body is encrypted on its own from the same
    // key and IV, so a genuine body is exactly one that encrypts back to itself.
    if (body.isEmpty() || cipher.encrypt(*plain) != body) {
        plainReply(response, 400, QStringLiteral("The request body does not decrypt under the session key"));
        return false;
    }
    return true;
}

void Routes::version(const HttpRequest&, HttpReply& response)
{
    QJsonObject reply;
    if (!settings.clientVersion.isEmpty())
        reply.insert(QStringLiteral("version"), settings.clientVersion);
    if (!settings.clientUrl.isEmpty())
        reply.insert(QStringLiteral("url"), settings.clientUrl);
    setContent(response, QJsonDocument(reply).toJson().toStdString(), "application/json");
}

void Routes::negotiate(const HttpRequest& request, HttpReply& response)
{
    bool decrypted = false;
    const QByteArray plain = sessionKey.decrypt(QByteArray::fromStdString(request.body), &decrypted);
    if (!decrypted) {
        plainReply(response, 400, QStringLiteral("The negotiation message does not decrypt under the server's key"));
        return;
    }
    const QJsonObject message = QJsonDocument::fromJson(plain).object();
    const bool isIv = message.contains(QLatin1String("iv"));
    const auto decoded = QByteArray::fromBase64Encoding(
        message.value(isIv ? QLatin1String("iv") : QLatin1String("key")).toString().toLatin1(),
        QByteArray::AbortOnBase64DecodingErrors);
    if (message.size() != 1 || decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok
        || decoded.decoded.size() != (isIv ? ivLength : keyLength)) {
        plainReply(
            response, 400,
            QStringLiteral("A negotiation message is {\"iv\": Base64 of 16 bytes} or {\"key\": Base64 of 32 bytes}"));
        return;
    }

    QByteArray token = cookieToken(request);
    Session existing;
    if (token.isEmpty() || !sessions.find(token, &existing)) {
        token = sessions.create();
        if (token.isEmpty()) {
            plainReply(response, 503, QStringLiteral("No session could be made: try again later"));
            return;
        }
        const QByteArray cookie = QByteArray(cookieName) + '=' + token + "; Path=/; HttpOnly; Secure";
        response.headers.emplace_back("Set-Cookie", cookie.toStdString());
    }
    if (isIv)
        sessions.setIv(token, decoded.decoded);
    else
        sessions.setKey(token, decoded.decoded);
    plainReply(response, 200, isIv ? QStringLiteral("IV accepted") : QStringLiteral("Key accepted"));
}

void Routes::login(const HttpRequest& request, HttpReply& response)
{
    Session session;
    QByteArray token;
    QByteArray plain;
    if (!sessionOf(request, response, false, &session, &token) || !decryptBody(request, response, session, &plain))
        return;
    const QJsonObject credentials = QJsonDocument::fromJson(plain).object();
    const QJsonValue email = credentials.value(QLatin1String("email"));
    const QJsonValue password = credentials.value(QLatin1String("password"));
    if (!email.isString() || !password.isString()) {
        plainReply(response, 400, QStringLiteral("A login is {\"email\": text, \"password\": text}"));
        return;
    }
    if (email.toString().size() > Database::maxEmailLength || password.toString().size() > PasswordHash::maxLength) {
        plainReply(response, 400,
                   QStringLiteral("An e-mail address has at most %1 characters, a password at most %2")
                       .arg(Database::maxEmailLength)
                       .arg(PasswordHash::maxLength));
        return;
    }
    LoginThrottle::Attempt attempt = throttle.begin(email.toString(), PeerAddress::source(request.remoteAddress));
    if (attempt.verdict() != LoginThrottle::Verdict::Admitted) {
        response.headers.emplace_back("Retry-After", std::to_string(attempt.wait()));
        plainReply(response, 429,
                   attempt.verdict() == LoginThrottle::Verdict::Busy
                       ? QStringLiteral("Another login to this account is being checked: try again in a second")
                       : QStringLiteral("Too many wrong passwords for this account: try again in %1 seconds")
                             .arg(attempt.wait()));
        return;
    }
    const qint64 user = database.authenticate(email.toString(), password.toString());
    if (user < 0) {
        plainReply(response, 401, QStringLiteral("Wrong e-mail address or password"));
        return;
    }
    attempt.succeeded();
    sessions.setUser(token, user, email.toString());
    encryptedReply(response, session, QJsonDocument(QJsonObject{{QStringLiteral("email"), email}}).toJson());
}

void Routes::grades(const HttpRequest& request, HttpReply& response)
{
    Session session;
    if (!sessionOf(request, response, true, &session))
        return;
    std::map<ProblemKey, Progress> progress;
    if (!database.progress(session.user, &progress)) {
        plainReply(response, 500, QStringLiteral("The grades could not be read"));
        return;
    }
    QJsonObject catalogue = courses.catalogue(progress);
    catalogue.insert(QStringLiteral("status"), QStringLiteral("ok"));
    encryptedReply(response, session, QJsonDocument(catalogue).toJson());
}

void Routes::downloadInit(const HttpRequest& request, HttpReply& response)
{
    sendScript(request, response, true);
}

void Routes::download(const HttpRequest& request, HttpReply& response)
{
    sendScript(request, response, false);
}

void Routes::sendScript(const HttpRequest& request, HttpReply& response, bool init)
{
    Session session;
    if (!sessionOf(request, response, true, &session))
        return;
    const QString prefix = init ? QStringLiteral("/download/init/") : QStringLiteral("/download/");
    const QString path = pathOf(request).mid(prefix.size());
    const Problem* problem = courses.find(path);
    if (!problem) {
        plainReply(response, 404, QStringLiteral("No such problem: %1").arg(path));
        return;
    }
    if (init && problem->initScript.isEmpty()) {
        plainReply(response, 404, QStringLiteral("%1 has no init script").arg(problem->displayName));
        return;
    }
    bool read = false;
    const QByteArray script = courses.readScript(*problem, init, &read);
    if (!read) {
        qWarning().noquote() << "cannot read a script of" << path;
        plainReply(response, 500, QStringLiteral("The script of %1 cannot be read").arg(problem->displayName));
        return;
    }
    encryptedReply(response, session, script);
}

void Routes::grade(const HttpRequest& request, HttpReply& response)
{
    Session session;
    if (!sessionOf(request, response, true, &session))
        return;
    QString path = pathOf(request).mid(int(sizeof("/grade/")) - 1);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString mode = path.mid(slash + 1);
    path.truncate(std::max(slash, 0));
    if (mode != QLatin1String("0") && mode != QLatin1String("1")) {
        plainReply(response, 400, QStringLiteral("The mode of a grade is 0 (turn in) or 1 (test)"));
        return;
    }
    const bool turnIn = mode == QLatin1String("0");
    const Problem* problem = courses.find(path);
    if (!problem) {
        plainReply(response, 404, QStringLiteral("No such problem: %1").arg(path));
        return;
    }
    QByteArray state;
    if (!decryptBody(request, response, session, &state))
        return;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(state, &error);
    if (error.error != QJsonParseError::NoError) {
        plainReply(response, 400, QStringLiteral("The result is not a JSON document: %1").arg(error.errorString()));
        return;
    }
    const Grade earned = Grade::fromState(
        document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array()), problem->possible);

    Progress standing;
    QJsonArray feedback;
    if (turnIn) {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        if (problem->closeDate > 0 && now > problem->closeDate) {
            plainReply(response, 403,
                       QStringLiteral("%1 closed on %2")
                           .arg(problem->displayName,
                                QDateTime::fromSecsSinceEpoch(problem->closeDate, Qt::UTC)
                                    .toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))));
            return;
        }
        const Problem* previous = problem->previousStep < 0 ? nullptr : &courses.problem(problem->previousStep);
        switch (
            database.turnIn(session.user, *problem, previous ? &previous->key : nullptr, earned, state, &standing)) {
        case Database::TurnIn::Recorded:
            break;
        case Database::TurnIn::NoAttemptsLeft:
            plainReply(response, 403,
                       QStringLiteral("No attempts left: all %1 attempts of %2 are used")
                           .arg(QString::number(problem->maxAttempts), problem->displayName));
            return;
        case Database::TurnIn::StepLocked:
            plainReply(
                response, 403,
                QStringLiteral("%1 is locked: complete %2 first").arg(problem->displayName, previous->displayName));
            return;
        case Database::TurnIn::Failed:
            plainReply(response, 500, QStringLiteral("The grade could not be recorded"));
            return;
        }
        const QString attempts = problem->maxAttempts > 0
            ? QStringLiteral("%1 of %2").arg(standing.attempts).arg(problem->maxAttempts)
            : QStringLiteral("%1 (no limit)").arg(standing.attempts);
        feedback.append(QJsonArray{
            QStringLiteral("Turned in: %1 of %2 points").arg(points(earned.earned), points(problem->possible)),
            QStringLiteral("Your grade for this problem is %1 of %2 points. Attempts used: %3.")
                .arg(points(standing.earned), points(problem->possible), attempts)});
    } else {
        if (!database.progressOf(session.user, problem->key, &standing)) {
            plainReply(response, 500, QStringLiteral("The grades could not be read"));
            return;
        }
        standing.earned = earned.earned;
        standing.complete = earned.complete;
        feedback.append(
            QJsonArray{QStringLiteral("Tested: %1 of %2 points").arg(points(earned.earned), points(problem->possible)),
                       QStringLiteral("A test is not recorded and uses no attempt.")});
    }
    for (const QJsonValue& entry : earned.feedback)
        feedback.append(entry);

    const QJsonObject result{
        {QStringLiteral("feedback"), feedback},
        {QStringLiteral("attempts"), standing.attempts},
        {QStringLiteral("max_attempts"), problem->maxAttemptsValue()},
        {QStringLiteral("earned"), standing.earned},
        {QStringLiteral("possible"), problem->possible},
        {QStringLiteral("complete"), standing.complete},
    };
    encryptedReply(response, session, QJsonDocument(result).toJson());
}

void Routes::addFault(const HttpRequest& request, HttpReply& response)
{
    if (!isLoopback(request.remoteAddress)) {
        plainReply(response, 403, QStringLiteral("Faults can only be injected from the loopback interface"));
        return;
    }
    QString error;
    if (!faults->add(QByteArray::fromStdString(request.body), &error)) {
        plainReply(response, 400, error);
        return;
    }
    plainReply(response, 200, QStringLiteral("Fault added"));
}

void Routes::clearFaults(const HttpRequest& request, HttpReply& response)
{
    if (!isLoopback(request.remoteAddress)) {
        plainReply(response, 403, QStringLiteral("Faults can only be injected from the loopback interface"));
        return;
    }
    faults->clear();
    plainReply(response, 200, QStringLiteral("Faults cleared"));
}
