#pragma once

#include <QString>

class QFile;
class QFileDevice;

// Files and folders that hold what only the student may see (the log, kept results, settings with
// credentials, a script's folder). On Windows they all lie in the user's profile, whose folders
// only their owner (and the system's administrators) may enter, so nothing more is done there.
namespace privatefile {

// Opens `file` for appending. A new file is its owner's alone from the first byte on; one that was
// left open to others is closed to them. `text`: line ends in the platform's text form.
bool openForAppending(QFile& file, bool text = false);

// Closes an open file to everyone but its owner before anything is written to it.
bool restrict(QFileDevice& file);

// Lets only the owner enter the folder.
void restrictFolder(const QString& path);

}
