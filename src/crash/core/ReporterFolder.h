#pragma once
// The reporter's temporary folder, where screenshots, minidumps and
// attachments are prepared: "<temp>\<executable name>.zelExcept\<pid>".
// Each process works in a subfolder of its own, so that a second copy of
// the program, starting or failing, never deletes what a send of the first
// still has to read. A process claims its subfolder by holding
// "<pid>.lock" beside it open without delete sharing for its lifetime: the
// lock goes with the process, and a reused process id cannot make a dead
// process's subfolder look alive.
#include <string>

namespace corvan::crash {

// The process's own subfolder, without trailing backslash.
std::string ReporterTempFolder();
// The subfolder with a trailing backslash, claimed and created when missing
// (a send or an edit may come before anything else was put there); empty
// when unknown.
std::string PreparedReporterTempFolder();
// Deletes the files of the own subfolder, except while a send of this
// process may still read them. With removeFolder (the start-up clean-up),
// also gives up the own subfolder and removes every subfolder and loose
// file no running process holds, and the folder itself once empty.
void EmptyReporterTempFolder(bool removeFolder);

// Held for as long as a send may read files of the own subfolder.
class ReporterFolderUse {
 public:
  ReporterFolderUse();
  ~ReporterFolderUse();
  ReporterFolderUse(const ReporterFolderUse&) = delete;
  ReporterFolderUse& operator=(const ReporterFolderUse&) = delete;
};

}  // namespace corvan::crash
