#pragma once

#include <QString>

// Member names of the JSON documents the client reads and writes: the catalogue and the problem
// maps built from it, grade results, requests, and the settings files.
namespace JsonKey {
// Catalogue and problem maps.
inline const QString status = QStringLiteral("status");
inline const QString displayName = QStringLiteral("display_name");
inline const QString urlName = QStringLiteral("url_name");
inline const QString sections = QStringLiteral("sections");
inline const QString problems = QStringLiteral("problems");
inline const QString multistep = QStringLiteral("multistep");
inline const QString complete = QStringLiteral("complete");
inline const QString course = QStringLiteral("course");
inline const QString week = QStringLiteral("week");
inline const QString section = QStringLiteral("section");
inline const QString problem = QStringLiteral("problem");
inline const QString closeDate = QStringLiteral("close_date");
inline const QString hasInit = QStringLiteral("hasInit");
inline const QString timeLimit = QStringLiteral("time_limit");
// The names of the student's servers that a problem's grading script needs (also the settings'
// server list).
inline const QString servers = QStringLiteral("servers");
// Problem maps and grade results.
inline const QString attempts = QStringLiteral("attempts");
inline const QString maxAttempts = QStringLiteral("max_attempts");
inline const QString earned = QStringLiteral("earned");
inline const QString possible = QStringLiteral("possible");
inline const QString feedback = QStringLiteral("feedback");
// Messages of a running script, one JSON object a line.
inline const QString summary = QStringLiteral("summary");
inline const QString detail = QStringLiteral("detail");
inline const QString reason = QStringLiteral("reason");
inline const QString state = QStringLiteral("state");
// The headless result.
inline const QString grade = QStringLiteral("grade");
inline const QString errorMessages = QStringLiteral("errorMessages");
inline const QString exitCode = QStringLiteral("exitCode");
// Requests and the update check.
inline const QString email = QStringLiteral("email");
inline const QString password = QStringLiteral("password");
inline const QString iv = QStringLiteral("iv");
inline const QString key = QStringLiteral("key");
inline const QString version = QStringLiteral("version");
inline const QString url = QStringLiteral("url");
// Settings files.
inline const QString proctorServer = QStringLiteral("proctor_server");
inline const QString address = QStringLiteral("address");
inline const QString port = QStringLiteral("port");
inline const QString proxy = QStringLiteral("proxy");
inline const QString type = QStringLiteral("type");
inline const QString host = QStringLiteral("host");
inline const QString username = QStringLiteral("username");
inline const QString scriptTimeLimit = QStringLiteral("script_time_limit");
// Receipts of grade posts and kept results.
inline const QString time = QStringLiteral("time");
inline const QString server = QStringLiteral("server");
inline const QString mode = QStringLiteral("mode");
inline const QString answer = QStringLiteral("answer");
inline const QString failure = QStringLiteral("failure");
inline const QString keptAt = QStringLiteral("kept_at");
inline const QString attemptsBefore = QStringLiteral("attempts_before");
}

// Values of a script message's "type".
namespace MessageType {
inline const QString feedback = QStringLiteral("feedback");
inline const QString failed = QStringLiteral("failed");
inline const QString complete = QStringLiteral("complete");
}

// Values of a receipt's or kept result's "mode".
namespace PostMode {
inline const QString turnIn = QStringLiteral("turn in");
inline const QString test = QStringLiteral("test");
}

// Files in the user's data location.
namespace DataFileName {
inline const QString receipts = QStringLiteral("receipts.jsonl");
// The folder of results kept from failed grade posts.
inline const QString kept = QStringLiteral("kept");
}

// The two settings files in the settings folder.
namespace SettingsFileName {
inline const QString app = QStringLiteral("app_settings.json");
inline const QString user = QStringLiteral("user_settings.json");
}

// Files the program needs in its application directory.
namespace AppFile {
#ifdef Q_OS_WIN
// With its suffix, so that the set-up check finds the file a run starts.
inline const QString interpreter = QStringLiteral("/pypy/bin/pypy.exe");
#else
inline const QString interpreter = QStringLiteral("/pypy/bin/pypy");
#endif
inline const QString caCertificate = QStringLiteral("/certs/GandiStandardSSLCA.pem");
}
