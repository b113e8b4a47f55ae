#include "vesko_mme.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vesko_text.h"

int mme_get_mac(char* mac)
{
    if (mac == nullptr)
        return -1;
    FILE* fp = popen(MME_TOOL " eth0 " MME_LOCAL_MAC " version", "r");
    if (fp == nullptr)
        return -2;

    int rc = -1;
    char line[MME_LINE_SIZE];
    while (fgets(line, sizeof(line), fp)) {
        size_t end = strcspn(line, "\r\n");
        if (line[end] == 0 && !feof(fp)) {
            // Only the first MME_LINE_SIZE - 1 characters of a longer line count; the
            // rest is skipped so that it is never taken for a line of its own.
            int c;
            while ((c = fgetc(fp)) != EOF && c != '\n') {
            }
        }
        // The line end is no part of the MAC text: it would split a command line.
        line[end] = 0;
        char text[MME_LINE_SIZE];
        if (sscanf(line, "Get mac %255[^ ]", text) != 1)
            continue;
        if (strlen(text) >= MME_MAC_SIZE) {
            fprintf(stderr, "mme_get_mac mac too long\n");
            break;
        }
        strcpy(mac, text);
        fprintf(stderr, "MME Get MAC %s\n", mac);
        rc = 0;
        break;
    }
    pclose(fp);
    return rc;
}

bool mme_value_ok(const char* op, const char* value)
{
    if (op == nullptr)
        return false;
    if (strcmp(op, "set_mac") == 0)
        return vesko_text_is_mac(value);
    if (strcmp(op, "set_nmk") == 0)
        return vesko_text_is_hex(value, MME_KEY_MAX);
    return false;
}

int mme_command(char* cmd, size_t size, const char* op, const char* mac, const char* value)
{
    if (cmd == nullptr || !vesko_text_is_mac(mac) || !mme_value_ok(op, value))
        return -1;
    int n = snprintf(cmd, size, MME_TOOL " eth0 %s %s %s", mac, op, value);
    if (n < 0 || size_t(n) >= size)
        return -1;
    return n;
}

int mme_set(const char* op, const char* value)
{
    if (!mme_value_ok(op, value)) {
        fprintf(stderr, "mme_set %s refused\n", op ? op : "");
        return -1;
    }
    char mac[MME_MAC_SIZE];
    if (mme_get_mac(mac) != 0)
        return -2;
    char cmd[MME_CMD_SIZE];
    if (mme_command(cmd, sizeof(cmd), op, mac, value) < 0) {
        fprintf(stderr, "mme_set bridge mac refused\n");
        return -3;
    }
    fprintf(stderr, "%s\n", cmd);
    system(cmd);
    return 0;
}
