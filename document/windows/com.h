// Owners of what COM hands out: every interface pointer, BSTR and VARIANT is released by its holder.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <climits>
#include <new>
#include <string_view>
#include <utility>

namespace xmldoc::windows {

template <class T> class Com {
public:
    Com() = default;
    ~Com() { reset(); }
    Com(Com &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Com &operator=(Com &&) = delete;

    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // for an out-parameter: whatever was held is released first
    T **put() {
        reset();
        return &p_;
    }
    void **put_void() { return reinterpret_cast<void **>(put()); }
    void reset() {
        if (p_) std::exchange(p_, nullptr)->Release();
    }

private:
    T *p_ = nullptr;
};

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::u16string_view text) {
        if (text.size() > UINT_MAX / 2) throw std::bad_alloc();
        s_ = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.data()), static_cast<UINT>(text.size()));
        if (!s_) throw std::bad_alloc();
    }
    ~Bstr() { SysFreeString(s_); }
    Bstr(const Bstr &) = delete;
    Bstr &operator=(const Bstr &) = delete;

    BSTR get() const { return s_; }
    BSTR *put() {
        SysFreeString(std::exchange(s_, nullptr));
        return &s_;
    }
    // a null BSTR is the empty string
    std::u16string_view view() const {
        if (!s_) return {};
        return {reinterpret_cast<const char16_t *>(s_), SysStringLen(s_)};
    }

private:
    BSTR s_ = nullptr;
};

class Variant {
public:
    Variant() { VariantInit(&v_); }
    // VariantClear fails only on a type it does not know, and none gets in here
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;

    VARIANT &get() { return v_; }
    VARIANT *put() {
        VariantClear(&v_);
        return &v_;
    }

private:
    VARIANT v_;
};

} // namespace xmldoc::windows
