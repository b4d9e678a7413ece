#include "driver/batch_run.h"

#include <fcntl.h>
#include <unistd.h>

bool openWorkDir(BatchRun& run) {
  // Read access is only needed to fsync the folder; a folder that can be written but not read
  // still takes archives.
  run.workDir.reset(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!run.workDir.valid()) run.workDir.reset(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  // The umask can only be read by setting it: done once, before any thread creates files.
  run.umask = ::umask(022);
  ::umask(run.umask);
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat output;
    if (fstat(fd, &output) == 0 && S_ISREG(output.st_mode)) {
      run.ownOutputs.push_back(identityOf(output));
    }
  }
  return run.workDir.valid();
}
