#include "DefaultFactory.h"

#include "SdkLog.h"

#include <new>
#include <utility>
#include <vector>

namespace Q7::TavrinC
{

IString::~IString() = default;

String::String(std::shared_ptr<StringRegistry> registry) noexcept : m_registry(std::move(registry)) {}

String::~String() = default;

bool String::Set(const char* text, std::uint32_t length)
{
    m_text.clear();
    if (text == nullptr || length == 0)
    {
        return false;
    }
    try
    {
        m_text.assign(text, length);
        return true;
    }
    catch (...)
    {
        m_text.clear();
        return false;
    }
}

const char* String::CStr() const
{
    return m_text.c_str();
}

std::uint32_t String::Length() const
{
    return static_cast<std::uint32_t>(m_text.size());
}

void String::Release()
{
    // Decided under the registry's lock, so a factory ending on another thread
    // meanwhile either still frees the string or has detached it.
    {
        const std::lock_guard<std::mutex> lock(m_registry->mutex);
        if (!m_registry->terminated)
        {
            m_registry->live.erase(this);
        }
    }
    delete this;
}

DefaultFactory::DefaultFactory() : m_registry(std::make_shared<StringRegistry>()) {}

DefaultFactory::~DefaultFactory() = default;

IString* DefaultFactory::CreateString()
{
    String* string = new (std::nothrow) String(m_registry);
    if (string == nullptr)
    {
        return nullptr;
    }
    try
    {
        const std::lock_guard<std::mutex> lock(m_registry->mutex);
        m_registry->live.insert(string);
    }
    catch (...)
    {
        delete string;
        return nullptr;
    }
    return string;
}

bool DefaultFactory::DeleteString(IString* string)
{
    if (string == nullptr)
    {
        return true;
    }
    String* known = nullptr;
    {
        const std::lock_guard<std::mutex> lock(m_registry->mutex);
        // Only a live string of this factory is known to be a String: anything
        // else is left alone rather than freed as the wrong type.
        const auto found = m_registry->live.find(string);
        if (found == m_registry->live.end())
        {
            return false;
        }
        known = *found;
        m_registry->live.erase(found);
    }
    delete known;
    return true;
}

IVector<PropertyValue>* DefaultFactory::CreateVector()
{
    return new (std::nothrow) Vector<PropertyValue>();
}

void DefaultFactory::Terminate()
{
    // The texts are copied under the lock and logged outside it (the log is the
    // application's printer): once detached, a string may be released on
    // another thread at any moment.
    std::vector<std::string> undeleted;
    {
        const std::lock_guard<std::mutex> lock(m_registry->mutex);
        try
        {
            for (const String* string : m_registry->live)
            {
                undeleted.emplace_back(string->CStr());
            }
        }
        catch (...)
        {
            undeleted.clear();
            for (const String* string : m_registry->live)
            {
                SdkLog(2, "DefaultFactory: Undeleted string: \"%s\"\n", string->CStr());
            }
        }
        m_registry->live.clear();
        m_registry->terminated = true;
    }
    for (const std::string& text : undeleted)
    {
        SdkLog(2, "DefaultFactory: Undeleted string: \"%s\"\n", text.c_str());
    }
    delete this;
}

} // namespace Q7::TavrinC
