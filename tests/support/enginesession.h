#pragma once

#include "support/testengine.h"
#include "support/timeouts.h"

#include <QString>

class QTreeWidgetItem;

// Drives a TestEngine against a course server the way a front end does.
namespace enginesession {

// Waits until `hook` has been called at least `count` times in all.
bool waitForHook(TestEngine& engine, const QString& hook, int count = 1, int timeoutMs = testWaitMs);

// Points the engine's settings at `url` and runs start(); with `untilReady`, waits for the key
// exchange to end (loginStateChanged(0)) and fails on any error message on the way.
bool start(TestEngine& engine, const QString& url, bool untilReady = true);

// Logs in and waits for the answer; true when it was accepted.
bool login(TestEngine& engine, const QString& email, const QString& password);

// A problem item as the catalogue tree makes it, holding only the four identifiers.
QTreeWidgetItem* problemItem(const QString& course, const QString& week, const QString& section,
                             const QString& problem);

// The demo course's first problem, which has an init and a grading script that need no servers.
QTreeWidgetItem* demoWarmupItem();

}
