// Dialog templates linked into a module. On Windows a module carries its
// templates as resources; here a module hands them to the dialog manager when
// it is loaded and takes them back when it is unloaded, and DialogBoxParamA
// finds them by module handle and name as it would there.
#pragma once

#include "platform/base/win32_types.h"

struct DialogItemResource {
    int id;                  // -1: no identifier
    const char* class_name;  // "button", "static", "edit", "combobox", "msctls_updown32", any case
    const char* text;        // UTF-8; null or "" for none
    DWORD style;             // the whole style word, WS_CHILD and WS_VISIBLE included
    short x, y, cx, cy;      // dialog units
};

struct DialogResource {
    DWORD style;
    short x, y, cx, cy;
    const char* caption;    // UTF-8
    const char* font_name;  // UTF-8; used with DS_SETFONT
    WORD point_size;
    const DialogItemResource* items;
    int item_count;
};

// Links the template under name into the module that holds the address anchor
// (any function or object of that module). The record must outlive the
// registration. Returns 1, or 0 when anchor lies in no loaded module.
int dialog_resource_register(const void* anchor, const char* name, const DialogResource* resource);
// Takes back what dialog_resource_register linked for that module and name.
void dialog_resource_unregister(const void* anchor, const char* name);
