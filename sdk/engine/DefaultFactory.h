#pragma once
// The library's own object factory and its strings.

#include <TavrinCpp/ObjectFactory.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace Q7::TavrinC
{

class String;

/// What a factory and its strings share: the set of live strings, and whether
/// the factory has ended. It outlives the factory while a string made by it
/// lives, so a string released after the factory ended finds out safely.
struct StringRegistry
{
    std::mutex mutex;                    // guards the members below
    std::set<String*, std::less<>> live; // strings made and not yet freed, by address
    bool terminated = false;             // the factory has ended; its strings are detached
};

/// A string of the default factory: its text and the registry of the factory
/// that made it.
class String final : public IString
{
public:
    explicit String(std::shared_ptr<StringRegistry> registry) noexcept;
    ~String() override;

    bool Set(const char* text, std::uint32_t length) override;
    const char* CStr() const override;
    std::uint32_t Length() const override;
    /// Hands the string back to its factory, which frees it. After the factory
    /// ended (CloseSdk) the string is detached: it frees itself without the
    /// factory.
    void Release() override;

private:
    std::string m_text;
    std::shared_ptr<StringRegistry> m_registry;
};

/// The library's factory: strings tracked until released, lists untracked.
/// Thread-safe: strings may be made and released on any thread.
class DefaultFactory final : public ObjectFactory
{
public:
    DefaultFactory();
    virtual ~DefaultFactory();

    DefaultFactory(const DefaultFactory&) = delete;
    DefaultFactory& operator=(const DefaultFactory&) = delete;

    /// A new empty string, tracked as live; null when memory runs out.
    IString* CreateString() override;
    /// Frees a live string of this factory; null gives true. A string this
    /// factory does not know (made elsewhere, or freed already) is left alone
    /// and gives false.
    bool DeleteString(IString* string) override;
    /// A new empty Vector<PropertyValue>, untracked; null when memory runs out.
    IVector<PropertyValue>* CreateVector() override;
    /// Logs level 2 "DefaultFactory: Undeleted string: \"%s\"\n" for every string
    /// still live, in address order, detaches them (their release then frees
    /// them without the factory), and frees the factory.
    void Terminate() override;

private:
    std::shared_ptr<StringRegistry> m_registry;
};

} // namespace Q7::TavrinC
