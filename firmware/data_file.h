// The data file of a set: read whole while the command line is parsed.
#ifndef KESTOMANDREL_FIRMWARE_DATA_FILE_H
#define KESTOMANDREL_FIRMWARE_DATA_FILE_H

#include "firmware/request.h"

// Reads the file named by request->fileName into request->fileData and fileSize, echoes its bytes
// and sets the source to File. Returns false after printing why when the file cannot be used; the
// run then ends with exit code 0.
bool LoadDataFile(VariableRequest* request);

#endif
