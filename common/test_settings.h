#pragma once
// The one documented test setting: QUARLO_TEST_SETTINGS="key=number,key=number" shortens
// periods, time-outs and caps for tests. Unset, every default holds.

// One key's value; the last valid item of a key counts. False when there is none, or no
// number from 0 to 1000000.
bool Service_TestSetting(const char* key, long& value);
