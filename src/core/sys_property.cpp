#include "sys_property.h"

#include <stdio.h>
#include <string.h>

static bool sys_property_name_ok(const char* name)
{
    if (!name || !*name || strlen(name) > 64 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    for (const char* p = name; *p; p++) {
        char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-'))
            return false;
    }
    return true;
}

static int sys_property_copy(char* value, int size, const char* text, int length)
{
    if (size <= 0)
        return 0;
    if (length > size - 1)
        length = size - 1;
    memcpy(value, text, length);
    value[length] = 0;
    return length;
}

int sys_property_get(const char* name, char* value, int size, const char* def)
{
    if (!value)
        return 0;
    const char* fallback = def ? def : "";
    if (!sys_property_name_ok(name))
        return sys_property_copy(value, size, fallback, strlen(fallback));

    char path[128];
    snprintf(path, sizeof(path), SYS_PROPERTY_DIR "/%s", name);
    FILE* f = fopen(path, "r");
    if (!f)
        return sys_property_copy(value, size, fallback, strlen(fallback));
    char text[SYS_PROPERTY_VALUE_MAX + 1];
    size_t n = fread(text, 1, SYS_PROPERTY_VALUE_MAX, f);
    fclose(f);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        n--;
    // As on the platform, an empty property reads as unset.
    if (n == 0)
        return sys_property_copy(value, size, fallback, strlen(fallback));
    return sys_property_copy(value, size, text, n);
}
