// The report actions on the information pane's text: view, copy, save. Each acts only on a
// complete information text (seven lines, the device-code separator at byte 8 of the last).
#pragma once

constexpr int kReportOpen = 1;
constexpr int kReportCopy = 2;
constexpr int kReportSave = 3;

// 0 done; 1 not a complete information text by its lines, the open action could not write its
// file, the save dialog was cancelled, or an unknown kind; 2 no separator, or the save action
// could not write the file (after its error box).
int RunReportAction(int kind);

// Commands 902, 903 and 904: 0 when the action was done, else 1.
int OpenReport();
int CopyReport();
int SaveReport();
