// Slot 0 of the host-facing interfaces.
//
// Hosts call by slot position, and a 32-bit Windows host is built with MSVC:
// its table gives a virtual destructor one entry, the scalar deleting
// destructor (thiscall, one flags argument; bit 0 set frees the object after
// destroying it), and every operation follows it. GCC gives a virtual
// destructor two entries, which would move every later operation by one. So:
// - MSVC, clang for the MSVC ABI, and every compiler off Windows: slot 0 is an
//   ordinary virtual destructor (the Linux layout stays as it always was);
// - GCC (or clang) for MinGW: slot 0 is ScalarDeletingDestructor, a function
//   with the MSVC entry's meaning, and the virtual destructor it calls is
//   declared after the last operation, past every slot a host calls.
//
// An interface with one version begins with TALVIK_DESTRUCTOR_SLOT(Name); and
// ends with TALVIK_DESTRUCTOR_TAIL(Name);. A family whose versions extend one
// another (IFoo, IFooEx, IFooEx2): TALVIK_VERSIONED_DESTRUCTOR_SLOT first in
// the first version, TALVIK_OLDER_VERSION first in each version in between,
// TALVIK_NEWEST_VERSION_TAIL last in the newest. With MinGW only the newest
// version has a public destructor, so deleting through an older one is a
// compile error instead of a wrong destructor; DeleteThroughSlot0 deletes
// through any version, as `delete` in an MSVC host does.
#pragma once

#if defined(_WIN32) && defined(__GNUC__) && !defined(_MSC_VER)
#define TALVIK_EXPLICIT_SLOT0 1
#else
#define TALVIK_EXPLICIT_SLOT0 0
#endif

#if TALVIK_EXPLICIT_SLOT0

// Each macro ends in a declaration, so that it is written with a semicolon.
// clang-format off
#define TALVIK_SLOT0_BODY_(Name)                                                            \
    {                                                                                       \
        static_assert(__has_virtual_destructor(Name), #Name " lacks its destructor tail");  \
        if (flags & 1u) {                                                                   \
            delete this;                                                                    \
        } else {                                                                            \
            this->~Name();                                                                  \
        }                                                                                   \
        return this;                                                                        \
    }
#define TALVIK_DESTRUCTOR_SLOT(Name)                                                        \
    virtual void* ScalarDeletingDestructor(unsigned int flags) TALVIK_SLOT0_BODY_(Name)     \
    static_assert(true, "")
#define TALVIK_DESTRUCTOR_TAIL(Name)                                                        \
  public:                                                                                   \
    virtual ~Name() = default
#define TALVIK_VERSIONED_DESTRUCTOR_SLOT(Name)                                              \
    virtual void* ScalarDeletingDestructor(unsigned int flags) = 0;                         \
  protected:                                                                                \
    ~Name() = default;                                                                      \
  public:                                                                                   \
    static_assert(true, "")
#define TALVIK_OLDER_VERSION(Name)                                                          \
  protected:                                                                                \
    ~Name() = default;                                                                      \
  public:                                                                                   \
    static_assert(true, "")
#define TALVIK_NEWEST_VERSION_TAIL(Name)                                                    \
  public:                                                                                   \
    void* ScalarDeletingDestructor(unsigned int flags) override TALVIK_SLOT0_BODY_(Name)    \
    virtual ~Name() = default
// clang-format on

#else

#define TALVIK_DESTRUCTOR_SLOT(Name) virtual ~Name() = default
#define TALVIK_DESTRUCTOR_TAIL(Name) static_assert(true, "")
#define TALVIK_VERSIONED_DESTRUCTOR_SLOT(Name) virtual ~Name() = default
#define TALVIK_OLDER_VERSION(Name) static_assert(true, "")
#define TALVIK_NEWEST_VERSION_TAIL(Name) static_assert(true, "")

#endif

namespace talvik {

// Destroys and frees an object through slot 0 of one of its interfaces, the
// way `delete` does in an MSVC-built host; null is ignored.
template <class Interface>
inline void DeleteThroughSlot0(Interface* object) {
#if TALVIK_EXPLICIT_SLOT0
    if (object != nullptr) object->ScalarDeletingDestructor(1u);
#else
    delete object;
#endif
}

}  // namespace talvik
