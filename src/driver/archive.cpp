#include "driver/archive.h"

#include <fcntl.h>
#include <minizip/zip.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/naming.h"
#include "driver/archive_stream.h"
#include "driver/chunk_pipeline.h"
#include "driver/commit.h"
#include "driver/decision.h"
#include "driver/entry_data.h"
#include "driver/selection.h"
#include "driver/source.h"
#include "driver/temp_archive.h"
#include "driver/zip_entry.h"

namespace {

// The open archive; closed through zipClose whatever happens.
class ZipHandle {
 public:
  explicit ZipHandle(zipFile handle) : handle_(handle) {}
  ~ZipHandle() {
    if (handle_ != nullptr) zipClose(handle_, nullptr);
  }
  ZipHandle(const ZipHandle&) = delete;
  ZipHandle& operator=(const ZipHandle&) = delete;

  zipFile get() const { return handle_; }
  int close() { return zipClose(std::exchange(handle_, nullptr), nullptr); }

 private:
  zipFile handle_;
};

// Writes the archive of source into temp: the entry opened with its fields, its data, the
// entry and the archive closed, everything on its way to the file. True when the archive is
// complete; otherwise the report is made.
bool writeArchive(Packer& packer, TempArchive& temp, const SearchEntry& entry, Source& source,
                  int level, WrittenArchive& written, FileOutcome& outcome) {
  ArchiveStream stream(temp.fd(), packer.writeBuffer().data(), packer.writeBuffer().size());
  zlib_filefunc64_def functions = stream.functions();
  ZipHandle archive(zipOpen2_64(temp.name().c_str(), APPEND_STATUS_CREATE, nullptr, &functions));
  if (archive.get() == nullptr) {
    outcome.report(LOG_OPEN_FAILED, stream.error() != 0 ? stream.error() : ENOMEM);
    return false;
  }
  const bool zip64 = needsZip64(source.size(), entry.name.size());
  const int method = level == 0 ? 0 : Z_DEFLATED;
  // Stored entries go through minizip as they are; deflated ones are deflated here and handed
  // over raw: small files whole, big ones in chunks (by the pool, or at level 1 by ISA-L on this
  // thread), or streamed through zlib when no pool is at hand.
  const bool whole = level != 0 && source.size() < kWholeFileLimit;
  const bool chunked =
      level != 0 && !whole &&
      (packer.chunks != nullptr || engineForPieces(level).library != Library::Zlib);
  EntryWrite data{packer, archive.get(), source, stream, level, zip64, entry.name.size()};
  const EntryFields fields = entryFields(source.opened(), dosDateTime(source.opened().st_mtime));
  bool ok = openEntry(archive.get(), entry.name.c_str(), fields, method, level, level != 0,
                      zip64) == ZIP_OK;
  if (!ok) outcome.report(LOG_ADD_FAILED, stream.error());
  if (ok) {
    ok = whole     ? copyWhole(data, outcome)
         : chunked ? copyInChunks(data, outcome)
                   : copyInBlocks(data, outcome);
  }
  std::uint64_t dataEnd = 0;
  if (ok) {
    const int closed = data.raw ? zipCloseFileInZipRaw64(archive.get(), source.position(), data.crc)
                                : zipCloseFileInZip(archive.get());
    dataEnd = stream.position();
    ok = closed == ZIP_OK;
    if (!ok) outcome.report(LOG_CLOSE_FAILED, stream.error());
  }
  if (archive.close() != ZIP_OK) {
    outcome.report(LOG_CLOSE_FAILED, stream.error());
    return false;
  }
  if (!ok) return false;
  if (!stream.finish()) {
    outcome.report(LOG_CLOSE_FAILED, stream.error());
    return false;
  }
  if (zip64) {
    if (const int error = completeZip64LocalHeader(temp.fd(), dataEnd, source.position())) {
      outcome.report(LOG_CLOSE_FAILED, error);
      return false;
    }
  }
  outcome.bytesRead = source.position();
  outcome.archiveSize = stream.size();
  if (!zip64 && outcome.archiveSize >= kZip64Size) {
    // The margin failed after all: such an archive is no archive to any reader.
    outcome.report(LOG_CLOSE_FAILED, EFBIG);
    return false;
  }
  written = {outcome.archiveSize, {entry.name, method, source.position(), data.crc}};
  return true;
}

// A dry run stops once the file is open: what the rest would do, as far as it can be known
// without writing. A folder the archive could not be created in fails; a second file of one
// archive name is skipped, as the archive made for the first would make it.
void foresee(BatchRun& run, const Folders& folders, const SearchEntry& entry, const Source& source,
             FileOutcome& outcome) {
  if (folders.archive >= 0 && faccessat(folders.archive, ".", W_OK, AT_EACCESS) != 0) {
    outcome.report(LOG_OPEN_FAILED, errno);
    return;
  }
  if (!run.plan(namesakeOf(entry))) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::MadeThisRun);
    return;
  }
  outcome.committed = true;
  outcome.bytesRead = source.size();
  if (!run.options.deleteAfterZipping) return;
  if ((source.opened().st_mode & S_IWUSR) == 0) {
    outcome.keptBecause = ReportDetail::ReadOnly;
  } else {
    outcome.deleted = true;
  }
}

}  // namespace

FileOutcome archiveOneFile(BatchRun& run, Packer& packer, const SearchEntry& entry) {
  FileOutcome outcome;
  outcome.archiveName = archiveNameOf(entry.name);
  if (entry.lookError != 0) {
    outcome.report(LOG_ADD_FAILED, entry.lookError);
    return outcome;
  }
  const std::string& archiveName = outcome.archiveName;
  // Without -R archives go to the working folder; with it, beside their sources; or where the
  // selection says.
  const int sourceFolder = entry.folder ? entry.folder->get() : run.workDir.get();
  int archiveFolder = run.options.recursive ? sourceFolder : run.workDir.get();
  if (entry.archiveFolder) {
    if (entry.archiveFolder->error != 0) {
      outcome.report(LOG_OPEN_FAILED, entry.archiveFolder->error);
      return outcome;
    }
    archiveFolder = entry.archiveFolder->folder->get();
  }
  const Folders folders{sourceFolder, archiveFolder};
  ExistingArchive existing;
  if (!decide(run, folders, entry, archiveName, existing, outcome)) return outcome;

  Source source(packer.slot());
  if (!source.open(run, folders.source, entry.name, entry.looked, run.options.deleteAfterZipping,
                   outcome)) {
    return outcome;
  }
  if (run.options.dryRun) {
    foresee(run, folders, entry, source, outcome);
    return outcome;
  }
  if (packer.opened) packer.opened(source.size());
  TempArchive temp(folders.archive, packer.slot());
  if (const int error = temp.create(archiveName, packer.random())) {
    outcome.report(LOG_OPEN_FAILED, error);
    return outcome;
  }
  WrittenArchive written{};
  if (!writeArchive(packer, temp, entry, source, run.options.compressionLevel, written, outcome)) {
    return outcome;
  }
  commitArchive(run, folders, temp, archiveName, entry, source, existing, written, packer.reader(),
                outcome);
  return outcome;
}
