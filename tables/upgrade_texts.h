// The texts an upgrade shows, by their numbers in the internal string table (k…String) and the
// UI text table (k…Text): compatibility checks, the upgrade run and the transfer.
#pragma once

// Internal strings.
constexpr int kNoString = 0;  // passed where no text is given
constexpr int kOpenDialogFilterString = 10;
constexpr int kCategory1PrefixString = 60;
constexpr int kFirstCategory2PrefixString = 61;
constexpr int kLastCategory2PrefixString = 64;
constexpr int kConstantCharactersString = 72;  // character 4: the required-version wildcard
constexpr int kNoAnswerString = 80;
constexpr int kDeviceIdMismatchString = 81;
constexpr int kVersionMismatchString = 82;
constexpr int kProductCodeMismatchString = 83;
constexpr int kCannotOpenString = 85;
constexpr int kFailureReasonFormat = 104;  // short text, detail
constexpr int kNoteFormat = 122;          // text, note
constexpr int kPartLineFormat = 123;      // snapshot, transfer word, part number, count
constexpr int kProgressLineFormat = 124;  // prefix, transfer word, bytes sent, total
constexpr int kFinalLineFormat = 125;     // snapshot, transfer word, total, total, done word
constexpr int kOneStringFormat = 128;
constexpr int kFirmwareOnlyFormat = 129;  // done word
constexpr int kValidFileFormat = 130;     // pane text
constexpr int kPartsSentFormat = 131;     // done word
constexpr int kErrorDetailFormat = 132;   // error word, failure text
constexpr int kFailureLineFormat = 135;   // previous pane text, short text, detail

// UI texts.
constexpr int kUpgradeHeadingText = 12;
constexpr int kCheckHeadingText = 19;  // while the file is checked, before anything is sent
constexpr int kDoneWordText = 20;
constexpr int kErrorWordText = 22;  // also the caption of error boxes
constexpr int kCheckWordText = 24;  // the check line's label
constexpr int kPreparingText = 25;
constexpr int kResultCaptionText = 26;
constexpr int kTransferWordText = 28;
constexpr int kDefaultDetailText = 30;
constexpr int kQueryFailureText = 31;  // its lines 1 and 3 tell what to do
constexpr int kAfterTransferNoteText = 32;
constexpr int kCategory1NoteText = 34;
constexpr int kCategory2NoteText = 35;
// Under Wine, a printer bridged in from Linux without the usblp write guard.
constexpr int kBridgedUpgradeRefusedText = 37;

// Every pane text is composed in, and read back into, buffers of wsprintfW's limit.
constexpr int kPaneUnits = 1024;
