#pragma once
// Packing one file into an archive of its own: <baseName>.zip with one entry, in the working
// folder (with -R beside the source). The steps, each in a file of its own:
//   decision.h       whether the file is packed at all
//   source.h         the source, opened, held (leased with -D), read and deleted
//   temp_archive.h   the temporary file the archive is written into
//   zip_entry.h      the entry's fields, written through minizip
//   entry_data.h     the data, stored or deflated in blocks; chunk_pipeline.h: in parallel chunks
//   verify.h         the archive read back before anything is destroyed
//   commit.h         the rename into place and the delete
// So a failed or interrupted file never leaves anything at the final name, an archive that stood
// there before survives every failure, and a source is deleted only once its archive is on disk
// and reads back as its data.

#include "core/run_data.h"
#include "driver/batch_run.h"
#include "driver/dir_search.h"
#include "driver/packer.h"

// Decides whether the entry is packed, packs it into a temporary file and commits that to the
// archive name; with -D deletes the source when everything succeeded and the source is still
// the file that was read. Reports nothing itself: the outcome says what happened.
FileOutcome archiveOneFile(BatchRun& run, Packer& packer, const SearchEntry& entry);
