// A static that no destructor frees: built on first use in storage of the library's own, emptied by
// its owner's release call. A host may still be inside the library while the process exits, where
// static destructors run while its threads go on; the library frees these only when none is inside.
#pragma once

#include <new>

namespace xmldoc {

template <class T> T &resident() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T *const object = new (storage) T();
    return *object;
}

} // namespace xmldoc
