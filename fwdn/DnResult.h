// Download result codes, returned by both firmware downloaders and shown to
// the technician by DisplayResultMessage.
#ifndef KV_FWDN_DNRESULT_H
#define KV_FWDN_DNRESULT_H

const int DN_OK = 0;              // written and verified
const int DN_FILE_NOT_FOUND = -1; // the firmware file cannot be opened
const int DN_FILE_READ_FAIL = -2; // empty, unreadable or not a regular file
const int DN_NO_RESPONSE = -3;    // bootloader or loader does not start or answer
const int DN_DOWNLOAD_FAIL = -4;  // erasing or writing failed
const int DN_VERIFY_FAIL = -5;    // read-back differs from the image
const int DN_PORT_OPEN_FAIL = -6; // the serial port cannot be opened

#endif
