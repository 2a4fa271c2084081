#pragma once
// Texts and lists that cross the library boundary in the flat interface: small
// interface objects freed only through their own virtual operations, never by
// the receiver's allocator, and the object factory that makes the texts.
//
// The C++ interface registers the library's default factory when it opens the
// SDK (RegisterDefaultFactory in TavrinC.h); an application using the flat
// interface alone registers one with SetFactory. Nothing here lets an
// exception out: failures give null, false or an empty text. IString and
// IVector objects are not thread-safe: one thread uses one object at a time.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/PropertyValue.h>

#include <cstdint>
#include <vector>

namespace Q7::TavrinC
{

/// A text made by an object factory.
class TAVRIN_API IString
{
public:
    /// Copies length bytes of text. A null text or length 0 empties the string
    /// and gives false; so does running out of memory.
    virtual bool Set(const char* text, std::uint32_t length) = 0;
    /// The text, terminated by a NUL; valid until the next Set or the release.
    virtual const char* CStr() const = 0;
    /// Length of the text in bytes.
    virtual std::uint32_t Length() const = 0;
    /// Hands the string back to the factory that made it, which frees it; the
    /// string must not be used afterwards.
    virtual void Release() = 0;

protected:
    /// Strings are freed through Release or their factory only.
    virtual ~IString();
};

template <typename T>
class IVector;
struct PropertyValue;

/// Makes the texts and lists of the flat interface. A factory registered with
/// the SDK is ended by CloseSdk through Terminate.
class TAVRIN_API ObjectFactory
{
public:
    /// A new empty string, or null when it cannot be made.
    virtual IString* CreateString() = 0;
    /// Frees a string made by this factory; null is accepted. True when freed.
    virtual bool DeleteString(IString* string) = 0;
    /// A new empty list of values whose destructor releases their texts (a
    /// Vector<PropertyValue>), or null when it cannot be made. Delete it when
    /// done.
    virtual IVector<PropertyValue>* CreateVector() = 0;
    /// Ends the factory; the factory decides whether it frees itself.
    virtual void Terminate() = 0;

protected:
    /// A factory is ended through Terminate, never deleted through this
    /// interface.
    ~ObjectFactory() = default;
};

/// A list of plain records.
template <typename T>
class IVector
{
public:
    /// Empties the list (Vector also releases the elements' texts).
    virtual void Clear() = 0;
    /// Grows the capacity to at least count; false when that fails.
    virtual bool Reserve(std::uint32_t count) = 0;
    /// Appends a bitwise copy of element; false when growing fails.
    virtual bool PushBack(const T& element) = 0;
    virtual std::uint32_t Size() const = 0;
    /// The element in place; null unless 0 <= index < Size().
    virtual T* At(int index) = 0;
    /// Copies the element into out; false, out untouched, unless
    /// 0 <= index < Size().
    virtual bool Get(int index, T& out) const = 0;
    /// In Vector the same as Clear; in VectorSimple nothing.
    virtual void ReleaseAll() = 0;
    virtual ~IVector() = default;
};

/// A list whose elements are plain records: clearing it drops them without
/// touching the texts they point to.
template <typename T>
class VectorSimple : public IVector<T>
{
public:
    void Clear() override { m_items.clear(); }
    bool Reserve(std::uint32_t count) override
    {
        try
        {
            m_items.reserve(count);
            return true;
        }
        catch (...)
        {
            return false;
        }
    }
    bool PushBack(const T& element) override
    {
        try
        {
            m_items.push_back(element);
            return true;
        }
        catch (...)
        {
            return false;
        }
    }
    std::uint32_t Size() const override { return static_cast<std::uint32_t>(m_items.size()); }
    T* At(int index) override { return InRange(index) ? &m_items[static_cast<std::size_t>(index)] : nullptr; }
    bool Get(int index, T& out) const override
    {
        if (!InRange(index))
        {
            return false;
        }
        out = m_items[static_cast<std::size_t>(index)];
        return true;
    }
    void ReleaseAll() override {}
    ~VectorSimple() override = default;

protected:
    bool InRange(int index) const { return index >= 0 && static_cast<std::size_t>(index) < m_items.size(); }

    std::vector<T> m_items;
};

/// A list that owns the texts of its elements: clearing it, and destroying it,
/// releases every text an element points to first.
template <typename T>
class Vector : public VectorSimple<T>
{
public:
    void Clear() override
    {
        for (T& item : this->m_items)
        {
            ReleaseTexts(item);
        }
        this->m_items.clear();
    }
    void ReleaseAll() override { Clear(); }
    ~Vector() override { Clear(); }
};

/// A property value as the flat interface's lists hold it: the members of
/// Q7::Tavrin::PropertyValue, with its two texts as strings of the factory.
struct PropertyValue
{
    Q7::Tavrin::PropertyType type = Q7::Tavrin::PropertyType::Unknown;
    std::int64_t intValue = 0;
    double doubleValue = 0.0;
    IString* textValue = nullptr;
    Q7::Tavrin::ValuePoint point;
    Q7::Tavrin::ValueColorFloat color;
    Q7::Tavrin::ValueArea area;
    Q7::Tavrin::ValueAreaFloat areaFloat;
    Q7::Tavrin::ValueRect rect;
    Q7::Tavrin::ValueRange range;
    Q7::Tavrin::ValueRangeFloat rangeFloat;
    IString* displayText = nullptr;
};

/// One camera of the flat camera list (GetCameraList).
struct CameraSpecification
{
    std::uint32_t connection = 0; ///< 1 USB, 4 network, or the open camera's connection type
    IString* name = nullptr;
    IString* serialNumber = nullptr;
    IString* address = nullptr; ///< empty for USB
    bool open = false;
};

/// Releases a text of a list element and forgets it.
inline void ReleaseText(IString*& text)
{
    if (text != nullptr)
    {
        text->Release();
        text = nullptr;
    }
}

/// Releases the two texts of a value (what Vector<PropertyValue> calls).
inline void ReleaseTexts(PropertyValue& value)
{
    ReleaseText(value.textValue);
    ReleaseText(value.displayText);
}

/// Releases the three texts of a camera entry (what Vector<CameraSpecification>
/// calls).
inline void ReleaseTexts(CameraSpecification& camera)
{
    ReleaseText(camera.name);
    ReleaseText(camera.serialNumber);
    ReleaseText(camera.address);
}

} // namespace Q7::TavrinC
