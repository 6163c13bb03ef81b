// Components with owners, events and string lists: the object model the
// windows, the sessions and the timers are built from.
#pragma once

#include <functional>
#include <string>
#include <vector>

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

// An event is a bound callback or nothing; it fires only when bound.
using TNotifyEvent = std::function<void(TObject* Sender)>;

// A component frees the components it owns when it is freed itself, last
// inserted first; a component freed on its own leaves its owner's list.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;

    TComponent* Owner() const { return FOwner; }
    std::size_t ComponentCount() const { return FComponents.size(); }

    std::string Name;

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
};

class TStringList : public TObject {
public:
    void Add(std::string text) { FStrings.push_back(std::move(text)); }
    void Clear() { FStrings.clear(); }
    std::size_t Count() const { return FStrings.size(); }
    const std::string& operator[](std::size_t index) const { return FStrings[index]; }

private:
    std::vector<std::string> FStrings;
};
