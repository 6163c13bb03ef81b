#include "Classes.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    while (!FComponents.empty()) {
        TComponent* last = FComponents.back();
        FComponents.pop_back();
        last->FOwner = nullptr;
        delete last;
    }
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* component) {
    FComponents.push_back(component);
    component->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* component) {
    auto it = std::find(FComponents.begin(), FComponents.end(), component);
    if (it != FComponents.end()) FComponents.erase(it);
    component->FOwner = nullptr;
}
