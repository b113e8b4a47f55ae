#pragma once

#include <tinyxml.h>

// One XML document addressed by slash-separated element paths ("/params/onoff").
class dxml {
public:
    dxml();
    explicit dxml(const char* body);
    ~dxml();
    dxml(const dxml&) = delete;
    dxml& operator=(const dxml&) = delete;

    const char* getText(const char* url);
    const char* getText(const char* url, const char* val);
    int getInt(const char* url, int val);
    int setText(const char* url, const char* value);
    int setInt(const char* url, int value);

    const char* data();
    bool loadFile(const char* url);
    bool saveFile(const char* url);

    enum { PATH_MAX_LEN = 511 };

private:
    TiXmlNode* find(const char* url, bool create);

    TiXmlDocument m_doc;
    TiXmlPrinter m_printer;
};
