#pragma once

// How many running processes have an executable named exactly "Tembrix.exe" (this one included).
int CountInstances();
