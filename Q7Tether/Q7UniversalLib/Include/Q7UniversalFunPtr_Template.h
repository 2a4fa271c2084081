#pragma once
// Callback function objects: an abstract function interface per arity (0 to 3
// arguments, and 5), an implementation bound to a free function, one bound to a member
// function of an object, and a value holder owning a heap clone of either.
//
// Function objects carry no lock: a holder is replaced or called under its
// owner's lock. The bound object is not owned and must outlive every holder that
// refers to it. Calling an empty holder or an unbound object is a failed
// assertion (the process ends).

#include "Q7UniversalAssert.h"

#include <cstddef>
#include <typeinfo>
#include <utility>

namespace Q7::Universal
{

/// The only value a holder may be compared with besides another holder: 0.
using NullType = int;

template <typename R>
class FunctionInterface0
{
public:
    virtual ~FunctionInterface0() = default;
    virtual R operator()() = 0;
    /// True when nothing is bound.
    virtual bool IsNull() const = 0;
    /// True when other has the same dynamic type and the same binding.
    virtual bool IsEqual(const FunctionInterface0& other) const = 0;
    /// A new heap copy, owned by the caller.
    virtual FunctionInterface0* Clone() const = 0;
};

template <typename R, typename A1>
class FunctionInterface1
{
public:
    virtual ~FunctionInterface1() = default;
    virtual R operator()(A1 a1) = 0;
    virtual bool IsNull() const = 0;
    virtual bool IsEqual(const FunctionInterface1& other) const = 0;
    virtual FunctionInterface1* Clone() const = 0;
};

template <typename R, typename A1, typename A2>
class FunctionInterface2
{
public:
    virtual ~FunctionInterface2() = default;
    virtual R operator()(A1 a1, A2 a2) = 0;
    virtual bool IsNull() const = 0;
    virtual bool IsEqual(const FunctionInterface2& other) const = 0;
    virtual FunctionInterface2* Clone() const = 0;
};

template <typename R, typename A1, typename A2, typename A3>
class FunctionInterface3
{
public:
    virtual ~FunctionInterface3() = default;
    virtual R operator()(A1 a1, A2 a2, A3 a3) = 0;
    virtual bool IsNull() const = 0;
    virtual bool IsEqual(const FunctionInterface3& other) const = 0;
    virtual FunctionInterface3* Clone() const = 0;
};

template <typename R, typename A1, typename A2, typename A3, typename A4, typename A5>
class FunctionInterface5
{
public:
    virtual ~FunctionInterface5() = default;
    virtual R operator()(A1 a1, A2 a2, A3 a3, A4 a4, A5 a5) = 0;
    virtual bool IsNull() const = 0;
    virtual bool IsEqual(const FunctionInterface5& other) const = 0;
    virtual FunctionInterface5* Clone() const = 0;
};

namespace Detail
{

// Shared body of PointerFunctionObject0..3 over the interface Interface.
template <typename Derived, typename Interface, typename R, typename... A>
class PointerFunctionObjectBase : public Interface
{
public:
    using FunctionType = R (*)(A...);

    explicit PointerFunctionObjectBase(FunctionType function) noexcept : m_pFunction(function) {}

    R operator()(A... args) override
    {
        Q7_ASSERT(m_pFunction != NULL);
        return m_pFunction(std::forward<A>(args)...);
    }
    bool IsNull() const override { return m_pFunction == nullptr; }
    bool IsEqual(const Interface& other) const override
    {
        return typeid(other) == typeid(*this) &&
               static_cast<const PointerFunctionObjectBase&>(other).m_pFunction == m_pFunction;
    }
    Interface* Clone() const override { return new Derived(m_pFunction); }

    FunctionType m_pFunction;
};

// Shared body of MemberFunctionObject0..3.
template <typename Derived, typename Interface, typename T, typename R, typename... A>
class MemberFunctionObjectBase : public Interface
{
public:
    using MemberType = R (T::*)(A...);

    MemberFunctionObjectBase(T* object, MemberType member) noexcept : m_pObject(object), m_pMember(member) {}

    R operator()(A... args) override
    {
        Q7_ASSERT(m_pObject != NULL);
        Q7_ASSERT(m_pMember != NULL);
        return (m_pObject->*m_pMember)(std::forward<A>(args)...);
    }
    bool IsNull() const override { return m_pObject == nullptr || m_pMember == nullptr; }
    bool IsEqual(const Interface& other) const override
    {
        // Only an object of the same class compares equal. The checked cast (not a
        // static one) keeps g++ -O2 from a false out-of-bounds report.
        const auto* that = dynamic_cast<const MemberFunctionObjectBase*>(&other);
        if (that == nullptr || typeid(other) != typeid(*this))
        {
            return false;
        }
        // Member pointers compare function and this-adjustment together.
        return that->m_pMember == m_pMember && that->m_pObject == m_pObject;
    }
    Interface* Clone() const override { return new Derived(m_pObject, m_pMember); }

    T* m_pObject;         // not owned
    MemberType m_pMember; // may carry a this-adjustment
};

// Shared body of the holders FunctionPointer0..3: owns one clone.
template <typename Interface>
class FunctionPointerBase
{
public:
    FunctionPointerBase() noexcept = default;

    /// Stores a clone of function unless it is unbound.
    explicit FunctionPointerBase(const Interface& function) : m_pFunObj(CloneOf(&function)) {}

    FunctionPointerBase(const FunctionPointerBase& other) : m_pFunObj(CloneOf(other.m_pFunObj)) {}

    FunctionPointerBase(FunctionPointerBase&& other) noexcept
        : m_pFunObj(std::exchange(other.m_pFunObj, nullptr))
    {
    }

    FunctionPointerBase& operator=(const FunctionPointerBase& other)
    {
        if (this != &other)
        {
            Interface* copy = CloneOf(other.m_pFunObj);
            delete m_pFunObj;
            m_pFunObj = copy;
        }
        return *this;
    }

    FunctionPointerBase& operator=(FunctionPointerBase&& other) noexcept
    {
        if (this != &other)
        {
            delete m_pFunObj;
            m_pFunObj = std::exchange(other.m_pFunObj, nullptr);
        }
        return *this;
    }

    ~FunctionPointerBase() { delete m_pFunObj; }

    /// Deletes the held object; the holder becomes empty.
    void Reset() noexcept
    {
        delete m_pFunObj;
        m_pFunObj = nullptr;
    }

    /// The held object, or null when empty.
    Interface* Get() const noexcept { return m_pFunObj; }

    /// True when the holder is empty or its object is unbound.
    bool IsNull() const { return m_pFunObj == nullptr || m_pFunObj->IsNull(); }

    /// Comparison with null: only 0 is accepted (anything else fails the assertion
    /// "null == NullType(0)"). Equal when the holder is empty or unbound.
    bool operator==(NullType null) const
    {
        Q7_ASSERT(null == NullType(0));
        return IsNull();
    }

    /// The same comparison with nullptr.
    bool operator==(std::nullptr_t) const { return IsNull(); }

    /// Two holders are equal when both are null, or when their objects are IsEqual.
    bool operator==(const FunctionPointerBase& other) const
    {
        if (this == &other)
        {
            return true;
        }
        const bool a = IsNull();
        const bool b = other.IsNull();
        if (a || b)
        {
            return a && b;
        }
        return m_pFunObj->IsEqual(*other.m_pFunObj);
    }

protected:
    static Interface* CloneOf(const Interface* function)
    {
        return function != nullptr && !function->IsNull() ? function->Clone() : nullptr;
    }

    Interface* m_pFunObj = nullptr; // owned; null when empty
};

} // namespace Detail

// ------------------------------------------------------------------ free functions

template <typename R>
class PointerFunctionObject0 final
    : public Detail::PointerFunctionObjectBase<PointerFunctionObject0<R>, FunctionInterface0<R>, R>
{
public:
    using Detail::PointerFunctionObjectBase<PointerFunctionObject0<R>, FunctionInterface0<R>,
                                            R>::PointerFunctionObjectBase;
};

template <typename R, typename A1>
class PointerFunctionObject1 final
    : public Detail::PointerFunctionObjectBase<PointerFunctionObject1<R, A1>, FunctionInterface1<R, A1>, R,
                                               A1>
{
public:
    using Detail::PointerFunctionObjectBase<PointerFunctionObject1<R, A1>, FunctionInterface1<R, A1>, R,
                                            A1>::PointerFunctionObjectBase;
};

template <typename R, typename A1, typename A2>
class PointerFunctionObject2 final
    : public Detail::PointerFunctionObjectBase<PointerFunctionObject2<R, A1, A2>,
                                               FunctionInterface2<R, A1, A2>, R, A1, A2>
{
public:
    using Detail::PointerFunctionObjectBase<PointerFunctionObject2<R, A1, A2>, FunctionInterface2<R, A1, A2>,
                                            R, A1, A2>::PointerFunctionObjectBase;
};

template <typename R, typename A1, typename A2, typename A3>
class PointerFunctionObject3 final
    : public Detail::PointerFunctionObjectBase<PointerFunctionObject3<R, A1, A2, A3>,
                                               FunctionInterface3<R, A1, A2, A3>, R, A1, A2, A3>
{
public:
    using Detail::PointerFunctionObjectBase<PointerFunctionObject3<R, A1, A2, A3>,
                                            FunctionInterface3<R, A1, A2, A3>, R, A1, A2,
                                            A3>::PointerFunctionObjectBase;
};

template <typename R, typename A1, typename A2, typename A3, typename A4, typename A5>
class PointerFunctionObject5 final
    : public Detail::PointerFunctionObjectBase<PointerFunctionObject5<R, A1, A2, A3, A4, A5>,
                                               FunctionInterface5<R, A1, A2, A3, A4, A5>, R, A1, A2, A3, A4,
                                               A5>
{
public:
    using Detail::PointerFunctionObjectBase<PointerFunctionObject5<R, A1, A2, A3, A4, A5>,
                                            FunctionInterface5<R, A1, A2, A3, A4, A5>, R, A1, A2, A3, A4,
                                            A5>::PointerFunctionObjectBase;
};

// ------------------------------------------------------------------ member functions

template <typename T, typename R>
class MemberFunctionObject0 final
    : public Detail::MemberFunctionObjectBase<MemberFunctionObject0<T, R>, FunctionInterface0<R>, T, R>
{
public:
    using Detail::MemberFunctionObjectBase<MemberFunctionObject0<T, R>, FunctionInterface0<R>, T,
                                           R>::MemberFunctionObjectBase;
};

template <typename T, typename R, typename A1>
class MemberFunctionObject1 final
    : public Detail::MemberFunctionObjectBase<MemberFunctionObject1<T, R, A1>, FunctionInterface1<R, A1>, T,
                                              R, A1>
{
public:
    using Detail::MemberFunctionObjectBase<MemberFunctionObject1<T, R, A1>, FunctionInterface1<R, A1>, T, R,
                                           A1>::MemberFunctionObjectBase;
};

template <typename T, typename R, typename A1, typename A2>
class MemberFunctionObject2 final
    : public Detail::MemberFunctionObjectBase<MemberFunctionObject2<T, R, A1, A2>,
                                              FunctionInterface2<R, A1, A2>, T, R, A1, A2>
{
public:
    using Detail::MemberFunctionObjectBase<MemberFunctionObject2<T, R, A1, A2>, FunctionInterface2<R, A1, A2>,
                                           T, R, A1, A2>::MemberFunctionObjectBase;
};

template <typename T, typename R, typename A1, typename A2, typename A3>
class MemberFunctionObject3 final
    : public Detail::MemberFunctionObjectBase<MemberFunctionObject3<T, R, A1, A2, A3>,
                                              FunctionInterface3<R, A1, A2, A3>, T, R, A1, A2, A3>
{
public:
    using Detail::MemberFunctionObjectBase<MemberFunctionObject3<T, R, A1, A2, A3>,
                                           FunctionInterface3<R, A1, A2, A3>, T, R, A1, A2,
                                           A3>::MemberFunctionObjectBase;
};

template <typename T, typename R, typename A1, typename A2, typename A3, typename A4, typename A5>
class MemberFunctionObject5 final
    : public Detail::MemberFunctionObjectBase<MemberFunctionObject5<T, R, A1, A2, A3, A4, A5>,
                                              FunctionInterface5<R, A1, A2, A3, A4, A5>, T, R, A1, A2, A3, A4,
                                              A5>
{
public:
    using Detail::MemberFunctionObjectBase<MemberFunctionObject5<T, R, A1, A2, A3, A4, A5>,
                                           FunctionInterface5<R, A1, A2, A3, A4, A5>, T, R, A1, A2, A3, A4,
                                           A5>::MemberFunctionObjectBase;
};

// ------------------------------------------------------------------ holders

/// Value holder of a FunctionInterface0: copies clone, the destructor deletes.
template <typename R>
class FunctionPointer0 : public Detail::FunctionPointerBase<FunctionInterface0<R>>
{
    using Base = Detail::FunctionPointerBase<FunctionInterface0<R>>;
    using Base::m_pFunObj;

public:
    using Interface = FunctionInterface0<R>;
    using Base::Base;
    FunctionPointer0() noexcept = default;
    /// Binds a free function (empty for null).
    explicit FunctionPointer0(R (*function)()) : Base(PointerFunctionObject0<R>(function)) {}
    /// Binds a member of an object or of one of its bases (empty when either is
    /// null). The object is bound as the class that declares the member.
    template <typename T, typename U>
    FunctionPointer0(T* object, R (U::*member)()) : Base(MemberFunctionObject0<U, R>(object, member))
    {
    }
    /// Calls the held object; an empty holder fails the assertion "m_pFunObj != NULL".
    R operator()() const
    {
        Q7_ASSERT(m_pFunObj != NULL);
        return (*m_pFunObj)();
    }
};

/// Value holder of a FunctionInterface1.
template <typename R, typename A1>
class FunctionPointer1 : public Detail::FunctionPointerBase<FunctionInterface1<R, A1>>
{
    using Base = Detail::FunctionPointerBase<FunctionInterface1<R, A1>>;
    using Base::m_pFunObj;

public:
    using Interface = FunctionInterface1<R, A1>;
    using Base::Base;
    FunctionPointer1() noexcept = default;
    explicit FunctionPointer1(R (*function)(A1)) : Base(PointerFunctionObject1<R, A1>(function)) {}
    template <typename T, typename U>
    FunctionPointer1(T* object, R (U::*member)(A1)) : Base(MemberFunctionObject1<U, R, A1>(object, member))
    {
    }
    R operator()(A1 a1) const
    {
        Q7_ASSERT(m_pFunObj != NULL);
        return (*m_pFunObj)(std::forward<A1>(a1));
    }
};

/// Value holder of a FunctionInterface2.
template <typename R, typename A1, typename A2>
class FunctionPointer2 : public Detail::FunctionPointerBase<FunctionInterface2<R, A1, A2>>
{
    using Base = Detail::FunctionPointerBase<FunctionInterface2<R, A1, A2>>;
    using Base::m_pFunObj;

public:
    using Interface = FunctionInterface2<R, A1, A2>;
    using Base::Base;
    FunctionPointer2() noexcept = default;
    explicit FunctionPointer2(R (*function)(A1, A2)) : Base(PointerFunctionObject2<R, A1, A2>(function)) {}
    template <typename T, typename U>
    FunctionPointer2(T* object, R (U::*member)(A1, A2))
        : Base(MemberFunctionObject2<U, R, A1, A2>(object, member))
    {
    }
    R operator()(A1 a1, A2 a2) const
    {
        Q7_ASSERT(m_pFunObj != NULL);
        return (*m_pFunObj)(std::forward<A1>(a1), std::forward<A2>(a2));
    }
};

/// Value holder of a FunctionInterface3.
template <typename R, typename A1, typename A2, typename A3>
class FunctionPointer3 : public Detail::FunctionPointerBase<FunctionInterface3<R, A1, A2, A3>>
{
    using Base = Detail::FunctionPointerBase<FunctionInterface3<R, A1, A2, A3>>;
    using Base::m_pFunObj;

public:
    using Interface = FunctionInterface3<R, A1, A2, A3>;
    using Base::Base;
    FunctionPointer3() noexcept = default;
    explicit FunctionPointer3(R (*function)(A1, A2, A3))
        : Base(PointerFunctionObject3<R, A1, A2, A3>(function))
    {
    }
    template <typename T, typename U>
    FunctionPointer3(T* object, R (U::*member)(A1, A2, A3))
        : Base(MemberFunctionObject3<U, R, A1, A2, A3>(object, member))
    {
    }
    R operator()(A1 a1, A2 a2, A3 a3) const
    {
        Q7_ASSERT(m_pFunObj != NULL);
        return (*m_pFunObj)(std::forward<A1>(a1), std::forward<A2>(a2), std::forward<A3>(a3));
    }
};

/// Value holder of a FunctionInterface5.
template <typename R, typename A1, typename A2, typename A3, typename A4, typename A5>
class FunctionPointer5 : public Detail::FunctionPointerBase<FunctionInterface5<R, A1, A2, A3, A4, A5>>
{
    using Base = Detail::FunctionPointerBase<FunctionInterface5<R, A1, A2, A3, A4, A5>>;
    using Base::m_pFunObj;

public:
    using Interface = FunctionInterface5<R, A1, A2, A3, A4, A5>;
    using Base::Base;
    FunctionPointer5() noexcept = default;
    explicit FunctionPointer5(R (*function)(A1, A2, A3, A4, A5))
        : Base(PointerFunctionObject5<R, A1, A2, A3, A4, A5>(function))
    {
    }
    template <typename T, typename U>
    FunctionPointer5(T* object, R (U::*member)(A1, A2, A3, A4, A5))
        : Base(MemberFunctionObject5<U, R, A1, A2, A3, A4, A5>(object, member))
    {
    }
    R operator()(A1 a1, A2 a2, A3 a3, A4 a4, A5 a5) const
    {
        Q7_ASSERT(m_pFunObj != NULL);
        return (*m_pFunObj)(std::forward<A1>(a1), std::forward<A2>(a2), std::forward<A3>(a3),
                            std::forward<A4>(a4), std::forward<A5>(a5));
    }
};

} // namespace Q7::Universal
