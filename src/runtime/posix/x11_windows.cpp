#include "runtime/posix/x11_windows.h"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>

namespace quillmark::runtime::posix {

namespace {

template <class F>
bool Bind(void* lib, const char* name, F& slot) {
  slot = reinterpret_cast<F>(dlsym(lib, name));
  return slot != nullptr;
}

TXlib* LoadXlib() {
  void* lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return nullptr;
  static TXlib x{};
  bool ok = Bind(lib, "XOpenDisplay", x.XOpenDisplay) && Bind(lib, "XCloseDisplay", x.XCloseDisplay) &&
            Bind(lib, "XDefaultRootWindow", x.XDefaultRootWindow) && Bind(lib, "XQueryTree", x.XQueryTree) &&
            Bind(lib, "XInternAtom", x.XInternAtom) && Bind(lib, "XGetWindowProperty", x.XGetWindowProperty) &&
            Bind(lib, "XGetWindowAttributes", x.XGetWindowAttributes) && Bind(lib, "XFree", x.XFree) &&
            Bind(lib, "XSetErrorHandler", x.XSetErrorHandler) && Bind(lib, "XSync", x.XSync) &&
            Bind(lib, "XFlush", x.XFlush) && Bind(lib, "XCreateSimpleWindow", x.XCreateSimpleWindow) &&
            Bind(lib, "XMapWindow", x.XMapWindow) && Bind(lib, "XChangeProperty", x.XChangeProperty) &&
            Bind(lib, "XSetTransientForHint", x.XSetTransientForHint);
  if (!ok) {
    dlclose(lib);
    return nullptr;
  }
  return &x;  // the library stays loaded for the life of the process
}

// Windows can vanish between two requests; their errors are expected.
int IgnoreXError(TXlib::Display*, TXlib::XErrorEvent*) { return 0; }

using Window = TXlib::Window;
using Atom = TXlib::Atom;

struct TReader {
  const TXlib& X;
  TXlib::Display* Dpy;
  Atom NetWmPid, WmState;

  // The first 32-bit item of a property (Xlib hands format-32 data out as
  // longs); false when the window has no such property.
  bool Property(Window w, Atom property, Atom type, unsigned long& value) const {
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (X.XGetWindowProperty(Dpy, w, property, 0, 1, 0, type, &actualType, &format, &count, &after, &data) !=
        TXlib::Success)
      return false;
    bool found = data && format == 32 && count >= 1;
    if (found) value = *reinterpret_cast<unsigned long*>(data);
    if (data) X.XFree(data);
    return found;
  }
  bool HasProperty(Window w, Atom property) const {
    unsigned long v = 0;
    return Property(w, property, TXlib::AnyPropertyType, v);
  }
  bool IsClient(Window w) const { return HasProperty(w, WmState) || HasProperty(w, NetWmPid); }

  std::vector<Window> Children(Window w) const {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int n = 0;
    std::vector<Window> out;
    if (!X.XQueryTree(Dpy, w, &root, &parent, &children, &n)) return out;
    if (children) {
      out.assign(children, children + n);
      X.XFree(children);
    }
    return out;
  }

  // The client window at or under a child of the root (a window manager's
  // frame holds it one or two levels down); 0 when there is none.
  Window ClientOf(Window w, int depth) const {
    if (IsClient(w)) return w;
    if (depth == 0) return 0;
    for (Window c : Children(w))
      if (Window found = ClientOf(c, depth - 1)) return found;
    return 0;
  }

  TWindowEntry Entry(Window w) const {
    TWindowEntry e;
    e.Handle = w;
    unsigned long v = 0;
    if (Property(w, NetWmPid, TXlib::XA_CARDINAL, v)) e.ProcessID = static_cast<std::uint32_t>(v);
    TXlib::XWindowAttributes a{};
    if (X.XGetWindowAttributes(Dpy, w, &a)) e.Visible = a.map_state == TXlib::IsViewable;
    if (!e.Visible && Property(w, WmState, WmState, v)) e.Visible = v == TXlib::IconicState;
    e.HasOwner = Property(w, TXlib::XA_WM_TRANSIENT_FOR, TXlib::XA_WINDOW, v) && v != 0;
    return e;
  }
};

}  // namespace

const TXlib* TXlib::Get() {
  static TXlib* x = LoadXlib();
  return x;
}

std::vector<TWindowEntry> EnumerateX11Windows(const std::string& displayName) {
  std::vector<TWindowEntry> out;
  if (displayName.empty()) return out;
  const TXlib* x = TXlib::Get();
  if (!x) return out;
  // The error handler is process-wide in Xlib: one enumeration at a time,
  // and the host's handler is put back afterwards.
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  TXlib::Display* dpy = x->XOpenDisplay(displayName.c_str());
  if (!dpy) return out;
  TXlib::XErrorHandler previous = x->XSetErrorHandler(&IgnoreXError);
  TReader r{*x, dpy, x->XInternAtom(dpy, "_NET_WM_PID", 0), x->XInternAtom(dpy, "WM_STATE", 0)};
  std::vector<Window> top = r.Children(x->XDefaultRootWindow(dpy));  // bottom to top
  for (auto it = top.rbegin(); it != top.rend(); ++it)
    if (Window client = r.ClientOf(*it, 2)) out.push_back(r.Entry(client));
  x->XSync(dpy, 0);
  x->XSetErrorHandler(previous);
  x->XCloseDisplay(dpy);
  return out;
}

}  // namespace quillmark::runtime::posix
