// Owners for GMime and GLib handles, private to the message stand-in.
#pragma once

#include <gmime/gmime.h>

#include <memory>

namespace bw {

struct TGObjectUnref {
  void operator()(gpointer AObject) const noexcept { g_object_unref(AObject); }
};
template <class T> using TGObjectPtr = std::unique_ptr<T, TGObjectUnref>;

// A buffer GLib allocated and hands over (a returned `gchar *`, `gunichar2 *`).
struct TGFree {
  void operator()(gpointer ABuffer) const noexcept { g_free(ABuffer); }
};
template <class T> using TGBufferPtr = std::unique_ptr<T, TGFree>;

} // namespace bw
