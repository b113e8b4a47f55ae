#pragma once

// System properties of the platform. Elsewhere than on Android they live in a small
// file-backed store, one file per property under SYS_PROPERTY_DIR, that the
// platform's setprop, start and stop tools write.

#define SYS_PROPERTY_DIR "/dev/__properties__"

enum { SYS_PROPERTY_VALUE_MAX = 92 };

// Copies the value (at most size - 1 characters) or the default into value and
// returns its length. A name outside [A-Za-z0-9._-] or empty is never looked up.
int sys_property_get(const char* name, char* value, int size, const char* def);
