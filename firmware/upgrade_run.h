// The firmware upgrade run: from the chosen file to the result box.
#pragma once

// popupAnchor: where the printer menu opens (2 under button 901, 3 for a drop or the command
// line). askForFile: show the open dialog; otherwise app.firmwarePath names the file.
int StartFirmwareUpgrade(int popupAnchor, int askForFile);
