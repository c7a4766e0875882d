/* Proves the public header is plain C and that every function links from libpelko.so. */
#include "pelko.h"

#include <stdio.h>

int main(void) {
  void* functions[] = {
      (void*)OrvOpen,
      (void*)OrvClose,
      (void*)OrvLost,
      (void*)OrvRead,
      (void*)OrvWrite,
      (void*)OrvCommand,
      (void*)OrvProgramDownload,
      (void*)OrvProgramUpload,
      (void*)OrvArrayDownload,
      (void*)OrvArrayUpload,
      (void*)OrvRecord,
      (void*)OrvMessage,
      (void*)OrvInterrupt,
      (void*)OrvFirmwareDownload,
      (void*)OrvUtility,
  };
  int failed = 0;
  unsigned i;
  for (i = 0; i < sizeof functions / sizeof functions[0]; ++i) {
    if (!functions[i]) ++failed;
  }
  if (sizeof(OrvDataRecord) != 512) ++failed;

  /* An open that cannot succeed leaves the caller's handle untouched. */
  OrvCon* handle = (OrvCon*)&failed;
  if (OrvOpen("", &handle) == 0 || handle != (OrvCon*)&failed) ++failed;

  printf("%d passed, %d failed\n", failed ? 0 : 1, failed ? 1 : 0);
  return failed ? 1 : 0;
}
