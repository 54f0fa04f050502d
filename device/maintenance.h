// Maintenance commands 1-18: defaults, the second confirmed command, panel language, setting.
#pragma once

int RunMaintenanceCommand(int command);
