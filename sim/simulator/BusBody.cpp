#include "BusBody.h"

#include <stdio.h>

#include <tinyxml.h>

#include "dxml.h"

namespace vsim {

namespace {

bool name_char(char c, bool first)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')
        return true;
    return !first && ((c >= '0' && c <= '9') || c == '-' || c == '.');
}

bool valid_key(const std::string& key)
{
    if (key.empty() || key.size() > 200)
        return false;
    bool first = true;
    for (size_t i = 0; i < key.size(); i++) {
        char c = key[i];
        if (c == '/') {
            if (first)
                return false;  // an empty piece
            first = true;
            continue;
        }
        if (!name_char(c, first))
            return false;
        first = false;
    }
    return !first;
}

bool needs_quotes(const std::string& v)
{
    if (v.empty())
        return true;
    for (char c : v)
        if (c == ' ' || c == '"' || c == '\\' || (unsigned char)c < 0x20 || c == 0x7f)
            return true;
    return false;
}

void leaves(const TiXmlElement* e, const std::string& prefix, std::string* out)
{
    bool has_child = false;
    for (const TiXmlElement* c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
        has_child = true;
        leaves(c, prefix.empty() ? c->ValueStr() : prefix + "/" + c->ValueStr(), out);
    }
    if (has_child || prefix.empty())
        return;
    const char* text = e->GetText();
    std::string v = text ? text : "";
    if (!out->empty())
        *out += ' ';
    *out += prefix + "=" + (needs_quotes(v) ? BusBody::quote(v) : v);
}

}  // namespace

bool BusBody::build(const std::vector<std::string>& pairs, std::string* body, std::string* error)
{
    body->clear();
    if (pairs.empty())
        return true;
    dxml doc;
    for (const std::string& p : pairs) {
        size_t eq = p.find('=');
        if (eq == std::string::npos) {
            *error = "\"" + p + "\" is not key=value";
            return false;
        }
        std::string key = p.substr(0, eq);
        if (!valid_key(key)) {
            *error = "\"" + key + "\" is not a key (letters, digits, '_', '-', '.', nested with '/')";
            return false;
        }
        std::string path = "/params/" + key;
        if (doc.setText(path.c_str(), p.c_str() + eq + 1) < 0) {
            *error = "cannot set " + path;
            return false;
        }
    }
    *body = doc.data();
    return true;
}

std::string BusBody::flatten(const std::string& body)
{
    if (body.empty())
        return std::string();
    TiXmlDocument doc;
    doc.Parse(body.c_str(), nullptr, TIXML_ENCODING_UTF8);
    const TiXmlElement* root = doc.Error() ? nullptr : doc.RootElement();
    if (!root)
        return quote(body);
    std::string out;
    leaves(root, std::string(), &out);
    return out;
}

bool BusBody::valid_path(const std::string& path)
{
    if (path.empty() || path[0] != '/' || path.size() > 127)
        return false;
    for (char c : path)
        if ((unsigned char)c <= 0x20 || c == 0x7f)
            return false;
    return true;
}

std::string BusBody::quote(const std::string& text, size_t max)
{
    std::string out = "\"";
    size_t n = 0;
    for (char c : text) {
        if (n++ == max) {
            out += "...";
            break;
        }
        unsigned char u = (unsigned char)c;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace vsim
