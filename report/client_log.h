// The client text log "p2sp_client.log" in the module folder. It is written
// only while the marker file (the platform's mapping of
// "c:\velmarp2sp\dlllogout.log") exists, so a support engineer switches it
// on by creating that file and off by deleting it, without a restart; the
// switch takes effect within a second.
#pragma once

#include <sstream>
#include <string>

// Appends the text (one or more lines, written as given) to
// "p2sp_client.log" and to the debugger output while the marker file
// exists; otherwise does nothing. Thread-safe.
void WriteClientLog(const std::string& text);

// Writes the stream's text as one line (a line end is added when missing)
// through WriteClientLog.
void WriteClientLogStream(std::ostringstream& stream);

// Full path of "p2sp_client.log" (the module folder).
std::string ClientLogPath();

// True while the marker file exists, i.e. while WriteClientLog writes. The
// file is looked at no more than once a second (platform::tick_count()).
bool ClientLogEnabled();

// Makes the next ClientLogEnabled look at the marker file at once, for code
// that has just created or deleted it, or pointed its path elsewhere.
void RecheckClientLogMarker();
