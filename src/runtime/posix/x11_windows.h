// Top-level windows of an X11 display, read through libX11 loaded at run
// time: a host without a display configured never loads the library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/target_system.h"

namespace quillmark::runtime::posix {

// The Xlib entry points this library uses, with just the declarations they
// need (the ABI of libX11.so.6; no X11 headers are required to build).
struct TXlib {
  struct Display;  // opaque
  using Window = unsigned long;
  using Atom = unsigned long;
  using Bool = int;
  using Status = int;

  struct XErrorEvent {
    int type;
    Display* display;
    unsigned long resourceid;
    unsigned long serial;
    unsigned char error_code;
    unsigned char request_code;
    unsigned char minor_code;
  };
  using XErrorHandler = int (*)(Display*, XErrorEvent*);

  // XWindowAttributes as Xlib lays it out.
  struct XWindowAttributes {
    int x, y;
    int width, height;
    int border_width;
    int depth;
    void* visual;
    Window root;
    int c_class;
    int bit_gravity;
    int win_gravity;
    int backing_store;
    unsigned long backing_planes;
    unsigned long backing_pixel;
    Bool save_under;
    unsigned long colormap;
    Bool map_installed;
    int map_state;
    long all_event_masks;
    long your_event_mask;
    long do_not_propagate_mask;
    Bool override_redirect;
    void* screen;
  };

  static constexpr int IsUnmapped = 0;
  static constexpr int IsViewable = 2;
  static constexpr int IconicState = 3;  // WM_STATE value of a minimised window
  static constexpr Atom XA_CARDINAL = 6;
  static constexpr Atom XA_WINDOW = 33;
  static constexpr Atom XA_WM_TRANSIENT_FOR = 68;
  static constexpr Atom AnyPropertyType = 0;
  static constexpr int PropModeReplace = 0;
  static constexpr int Success = 0;

  Display* (*XOpenDisplay)(const char*);
  int (*XCloseDisplay)(Display*);
  Window (*XDefaultRootWindow)(Display*);
  Status (*XQueryTree)(Display*, Window, Window*, Window*, Window**, unsigned int*);
  Atom (*XInternAtom)(Display*, const char*, Bool);
  int (*XGetWindowProperty)(Display*, Window, Atom, long, long, Bool, Atom, Atom*, int*, unsigned long*,
                            unsigned long*, unsigned char**);
  Status (*XGetWindowAttributes)(Display*, Window, XWindowAttributes*);
  int (*XFree)(void*);
  XErrorHandler (*XSetErrorHandler)(XErrorHandler);
  int (*XSync)(Display*, Bool);
  int (*XFlush)(Display*);
  // For programs that make windows (the test suite's window client).
  Window (*XCreateSimpleWindow)(Display*, Window, int, int, unsigned int, unsigned int, unsigned int,
                                unsigned long, unsigned long);
  int (*XMapWindow)(Display*, Window);
  int (*XChangeProperty)(Display*, Window, Atom, Atom, int, int, const unsigned char*, int);
  int (*XSetTransientForHint)(Display*, Window, Window);

  // The library bound once per process; nullptr when libX11.so.6 cannot be
  // loaded or lacks one of the entry points.
  static const TXlib* Get();
};

// Top-level client windows of the display, topmost first: the children of
// the root window, or for a reparenting window manager the client windows
// inside its frames. A window is visible when it is viewable or minimised,
// owned when it carries WM_TRANSIENT_FOR, and belongs to the process its
// _NET_WM_PID names (0 without one). Empty when the display cannot be opened
// or libX11 is not installed.
std::vector<TWindowEntry> EnumerateX11Windows(const std::string& displayName);

}  // namespace quillmark::runtime::posix
