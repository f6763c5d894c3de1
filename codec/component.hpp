// The non-visual component base shared by the codec and the algorithm library: an optional owner
// and destruction notices between components.
#pragma once

#include <vector>

namespace velora {

enum class TOperation { opInsert, opRemove };

class TComponent {
public:
    // The owner is kept for reference only; lifetime is whatever smart pointer holds the object.
    explicit TComponent(TComponent* AOwner = nullptr) : FOwner(AOwner) {}
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    virtual ~TComponent();

    TComponent* Owner() const noexcept { return FOwner; }

    // Links the two components both ways: each is told (Notification with opRemove) when the
    // other is destroyed, so neither keeps a dangling pointer.
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

protected:
    virtual void Notification(TComponent* AComponent, TOperation Operation);
    // Tells every linked component of this one's destruction now and drops the links; the
    // destructor does it too for a class that does not need a particular moment.
    void SendFreeNotices();

private:
    void Unlink(TComponent* AComponent) noexcept;

    TComponent* FOwner;
    std::vector<TComponent*> FFreeNotifies;
};

} // namespace velora
