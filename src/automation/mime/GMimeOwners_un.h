// Owners for GMime and GLib handles, private to the message stand-in.
#pragma once

#include <gmime/gmime.h>

#include <memory>

namespace bw {

struct TGObjectUnref {
  void operator()(gpointer AObject) const noexcept { g_object_unref(AObject); }
};
template <class T> using TGObjectPtr = std::unique_ptr<T, TGObjectUnref>;

} // namespace bw
