/*
 * Building the configuration document handed to the library.
 */
#include "config_doc.h"

#include <cstdio>
#include <cstring>

/* The library's scanner decodes only \" \\ \n \t \r inside strings and
 * takes every other byte as it stands (a \u escape would reach it as the
 * letter u and four digits), so other bytes are written raw and control
 * bytes that have no such escape cannot be carried at all. */
bool json_string(const std::string &value, std::string &out, std::string &err, const char *what)
{
    static const char special[] = "\"\\\n\t\r";
    static const char letter[] = "\"\\ntr";
    out += '"';
    for (unsigned char c : value) {
        const char *hit = c != 0 ? strchr(special, c) : nullptr;
        if (hit != nullptr) {
            out += '\\';
            out += letter[hit - special];
        } else if (c < 0x20) {
            char buf[160];
            snprintf(buf, sizeof buf,
                     "%s contains the control byte 0x%02x, which the configuration cannot carry",
                     what, c);
            err = buf;
            return false;
        } else {
            out += (char)c;
        }
    }
    out += '"';
    return true;
}
