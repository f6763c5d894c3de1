#include "codec/component.hpp"

#include <algorithm>

namespace velora {

TComponent::~TComponent() {
    SendFreeNotices();
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr || AComponent == this) {
        return;
    }
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end()) {
        FFreeNotifies.push_back(AComponent);
    }
    auto& other = AComponent->FFreeNotifies;
    if (std::find(other.begin(), other.end(), this) == other.end()) {
        other.push_back(this);
    }
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr) {
        return;
    }
    Unlink(AComponent);
    AComponent->Unlink(this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::SendFreeNotices() {
    while (!FFreeNotifies.empty()) {
        TComponent* other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        other->Unlink(this);
        other->Notification(this, TOperation::opRemove);
    }
}

void TComponent::Unlink(TComponent* AComponent) noexcept {
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                        FFreeNotifies.end());
}

} // namespace velora
