// What a program's resources look like to the framework: dialog templates,
// strings and icons, as plain data (the Linux form of a .rc file).
#pragma once

#include "platform/win32.h"

#include <vector>

namespace vx::res {

enum class ControlKind { Button, Edit, ComboBox, Static };

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* text;  // a static icon names its icon: "#128"
  short x, y, cx, cy;  // dialog units
  DWORD style;         // WS_*, ES_*, BS_*, CBS_*, SS_*
  DWORD exStyle = 0;
  std::vector<const char*> initData = {};  // a combo box's initial list
  // A combo box's list goes on with the serial devices present on the machine
  // (the Linux form of a port list that cannot be known when the template is written).
  bool appendSerialDevices = false;
};

struct DialogTemplate {
  int id;
  const char* caption;
  short x, y, cx, cy;
  const char* fontName;
  int pointSize;
  DWORD style;
  DWORD exStyle;
  std::vector<ControlTemplate> controls;  // template order is tab order
};

struct StringEntry {
  UINT id;
  const char* text;
};

// A 16-colour image: one character a pixel, each a hex digit into `palette`
// (0xRRGGBB), '.' for transparent.
struct IconImage {
  int size;
  const char* const* rows;
};
struct IconResource {
  int id;
  const DWORD* palette;
  std::vector<IconImage> images;
};

struct Module {
  std::vector<DialogTemplate> dialogs;
  std::vector<StringEntry> strings;
  std::vector<IconResource> icons;
  const char* fileVersion;
  const char* productVersion;

  const DialogTemplate* FindDialog(int id) const {
    for (auto& d : dialogs)
      if (d.id == id) return &d;
    return nullptr;
  }
  const IconResource* FindIcon(int id) const {
    for (auto& i : icons)
      if (i.id == id) return &i;
    return nullptr;
  }
  const char* FindString(UINT id) const {
    for (auto& s : strings)
      if (s.id == id) return s.text;
    return nullptr;
  }
};

}  // namespace vx::res
