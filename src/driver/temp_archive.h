#pragma once
// The temporary file an archive is written into, beside its final name.
//
// Its life, and who may remove it at each step:
//   named      its name is in the packing thread's slot of the record, before the file exists,
//              so that a signal arriving right after the create finds it;
//   created    openat(O_CREAT | O_EXCL), mode 0600 whatever the umask, and locked (flock) for
//              as long as this process holds it: another run tells a live temporary file from
//              a leftover by that lock;
//   dressed    given the source's permission bits (no execute bits, less the umask, never
//              wider than the source), its owner when the process may, and its times;
//   committed  renamed to the archive name: the slot is cleared and the name is no longer a
//              temporary file's;
//   removed    unlinked by its owner on any failure, by the signal path from the record, or by
//              the out-of-memory path.
// A fatal signal marks the process as dying before it walks the record: from then on no thread
// creates a temporary file, and one caught mid-create is waited for, so none is left behind.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "driver/batch_run.h"
#include "driver/descriptor.h"

class TempArchive {
 public:
  // folder: where the archive goes; slot: the packing thread's slot in the record.
  TempArchive(int folder, int slot) : folder_(folder), slot_(slot) {}
  ~TempArchive() { remove(); }
  TempArchive(const TempArchive&) = delete;
  TempArchive& operator=(const TempArchive&) = delete;

  // Returns 0 or the errno of the failure.
  int create(std::string_view archiveName, std::mt19937_64& random);

  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }

  // Gives the file the source's permission bits without the execute bits, less umask, its
  // owner and group when the process may, and its access and modification times. Where the
  // group cannot be the source's, the group gets no more than everyone.
  void dressAs(const struct stat& source, mode_t umask);
  // The file's device and inode, known once it is dressed.
  const FileIdentity& identity() const { return identity_; }

  // Gives the file the archive name: over what stands there with replace, else only where
  // nothing does (EEXIST). Then closes it. Returns 0 or the errno of the failure; a close that
  // fails after the rename returns its errno with committed() true.
  int commit(const std::string& archiveName, bool replace);
  bool committed() const { return committed_; }

  void remove();

 private:
  // Without RENAME_NOREPLACE: a hard link never replaces anything. Where links are not
  // supported either, a look before the rename is the best there is.
  int commitByLink(const char* from, const char* to);

  int folder_;
  int slot_;
  Descriptor fd_;
  std::string name_;  // empty once committed or removed
  bool committed_ = false;
  FileIdentity identity_{};
};

// Another run's temporary file: removes it when no process holds its lock. True when removed;
// with onlyLook, when it would be, and nothing is removed.
bool removeLeftover(int folder, const char* name, bool onlyLook = false);

// Unlinks every recorded temporary file and lets no thread create another. Async-signal-safe:
// for the fatal signal and out-of-memory paths.
void removeTempFiles();
