// The check of the installed title against the checksum records of its
// installed record library.
#pragma once

// 1 when the record library matches its own record and the main program
// matches the library's record for it; 0 otherwise. Shows nothing, leaves no
// library loaded and no file open.
int CheckInstallation(const char* installFolder);
