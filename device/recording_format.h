// A recording of a printer's conversation as a file: JSON Lines, one value a line, which a
// person can read and diff. The first line is the header (what printer, reached how, by which
// korvex); each line after it is one event of the conversation (conversation.h), in order:
//
//   {"format":"korvex-recording","version":1,"korvex":"2.91","way":"usblp","id":"lp0",
//    "device_id":"4B56015C","vendor_id":"4B56","product_id":"015C","serial":"ORB-300-A1",
//    "interface_protocol":2,"protocol_family":2,"redacted":false}
//   {"event":"open","mode":"request_reply"}
//   {"event":"write","command":"CMD_SSI_PRODUCT_MODEL","hex":"1b252d3132333435..."}
//   {"event":"read","ms":1,"hex":"00acff21002b0003..."}
//   {"event":"timeout","call":"read","ms":5001}
//   {"event":"failure","call":"write","failure":"gone"}
//   {"event":"firmware","bytes":200000,"sha256":"9f86d081884c7d65..."}
//   {"event":"cancel"}
//   {"event":"close"}
//
// A reader takes nothing from a recording but its values: every size is bounded, every hex text
// checked, and a file that is damaged or of another version is refused whole, with the line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "device/conversation.h"

constexpr char kRecordingFormatName[] = "korvex-recording";
constexpr int kRecordingFormatVersion = 1;

// The most a reader takes: a whole file, one line, one read's bytes.
constexpr size_t kMaxRecordingFileBytes = 64u << 20;
constexpr size_t kMaxRecordingLineBytes = 16384;
constexpr size_t kMaxRecordedReadBytes = 4096;

struct RecordingHeader {
  std::string korvexVersion;  // the korvex that recorded it
  std::string way;            // usblp, libusb or windows
  std::string id;             // the printer's id, as korvex list shows it
  std::string deviceId;       // VVVVPPPP
  std::string vendorId, productId;
  std::string serial;         // the USB serial number, or its stand-in (redacted)
  int interfaceProtocol = -1; // the printer interface's protocol; -1 where not known
  int protocolFamily = 0;     // as korvex identified the model: 1, 2, or 0 refused
  bool redacted = false;      // the serial number and MAC addresses are stand-ins
};

// One line of a recording, without its line end.
std::string RecordingHeaderLine(const RecordingHeader &header);
std::string RecordingEventLine(const ConversationEvent &event);

struct RecordedEvent {
  int line;  // where it stands in the file, from 1 (the header)
  ConversationEvent event;
};

struct Recording {
  RecordingHeader header;
  std::vector<RecordedEvent> events;
};

// A recording's text read whole; false with *error naming the line and what is wrong with it.
bool ParseRecording(const char *text, size_t length, Recording *recording, std::string *error);
// The same from a file (at most kMaxRecordingFileBytes).
bool ReadRecordingFile(const std::string &path, Recording *recording, std::string *error);

// ---- Redaction -----------------------------------------------------------------------------
// Stand-ins that hide a printer's serial number and MAC address. The same input always gives the
// same stand-in (derived from a SHA-256 of it), so recordings of one printer still agree with
// each other, and each is as long as what it replaces, so that replies keep their lengths.
// Derived, not secret: whoever knows a serial number can find its stand-in.
std::string SerialStandIn(const std::string &serial);
// Every MAC address written as text (six pairs of hex digits joined by ':' or '-'), which is
// how a printer reports it, made its stand-in (02:.., a locally administered address); and
// every occurrence of serial when it has at least kMinRedactedSerial characters (shorter
// ones would hit bytes that only look like it).
constexpr size_t kMinRedactedSerial = 4;
void RedactBytes(std::vector<unsigned char> *bytes, const std::string &serial);
