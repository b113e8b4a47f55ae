#include "dxml.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

dxml::dxml()
{
}

dxml::dxml(const char* body)
{
    if (body && body[0])
        m_doc.Parse(body, nullptr, TIXML_ENCODING_LEGACY);
}

dxml::~dxml()
{
}

// Walks the path from the document down, one element per non-empty piece. Only elements
// are matched, so a comment or text that happens to read like a piece is never taken
// for it (a set would otherwise hang its value under a text node and lose it). The
// split works on a copy with strtok_r, so walks on different documents are independent.
TiXmlNode* dxml::find(const char* url, bool create)
{
    if (url == nullptr)
        return nullptr;
    size_t n = strlen(url);
    if (n > PATH_MAX_LEN)
        return nullptr;
    char path[PATH_MAX_LEN + 1];
    memcpy(path, url, n + 1);

    TiXmlNode* node = &m_doc;
    bool any = false;
    char* save = nullptr;
    for (char* piece = strtok_r(path, "/", &save); piece; piece = strtok_r(nullptr, "/", &save)) {
        TiXmlNode* next = node->FirstChildElement(piece);
        if (next == nullptr) {
            if (!create)
                return nullptr;
            next = node->LinkEndChild(new TiXmlElement(piece));
            if (next == nullptr)
                return nullptr;
        }
        node = next;
        any = true;
    }
    return any ? node : nullptr;
}

const char* dxml::getText(const char* url)
{
    TiXmlNode* node = find(url, false);
    if (node == nullptr)
        return nullptr;
    TiXmlNode* child = node->FirstChild();
    return child ? child->Value() : nullptr;
}

const char* dxml::getText(const char* url, const char* val)
{
    const char* text = getText(url);
    return text ? text : val;
}

int dxml::getInt(const char* url, int val)
{
    const char* text = getText(url);
    if (text == nullptr)
        return val;
    long v = strtol(text, nullptr, 10);
    // Out-of-range numbers saturate instead of wrapping into a different value.
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

int dxml::setText(const char* url, const char* value)
{
    if (url == nullptr || value == nullptr)
        return -1;
    TiXmlNode* node = find(url, true);
    if (node == nullptr)
        return -1;
    node->Clear();
    node->LinkEndChild(new TiXmlText(value));
    return 0;
}

int dxml::setInt(const char* url, int value)
{
    char text[12];
    snprintf(text, sizeof(text), "%d", value);
    return setText(url, text);
}

const char* dxml::data()
{
    m_printer = TiXmlPrinter();
    m_printer.SetIndent("\t");
    m_printer.SetLineBreak("\n");
    m_doc.Accept(&m_printer);
    return m_printer.CStr();
}

bool dxml::loadFile(const char* url)
{
    m_doc.Clear();
    if (url == nullptr)
        return false;
    return m_doc.LoadFile(url, TIXML_ENCODING_LEGACY);
}

bool dxml::saveFile(const char* url)
{
    if (url == nullptr)
        return false;
    return m_doc.SaveFile(url);
}
