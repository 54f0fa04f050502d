// The report actions on the information pane's text: view, copy, save.
#pragma once

void OpenReport();
void CopyReport();
void SaveReport();
