#include "codec/chaining.hpp"
#include "codec/crypto_library.hpp"
#include "codec/stream_to_block.hpp"
#include "codec/twofish.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace velora {
namespace {

struct CountingWatcher : ICryptographicLibraryWatcher {
    int Count = 0;
    std::function<void()> OnChange;
    void ProgIdsChanged() override {
        ++Count;
        if (OnChange) {
            OnChange();
        }
    }
};

std::vector<UnicodeString> All(const TCryptLibStrings& view) {
    std::vector<UnicodeString> r;
    for (std::int32_t i = 0; i < view.Count(); ++i) {
        r.push_back(view[i]);
    }
    return r;
}

TEST(Library, BuiltInRegistrationsInOrder) {
    TCryptographicLibrary lib;
    using V = std::vector<UnicodeString>;
    EXPECT_EQ(All(lib.StreamCiphers_ByProgId()),
              (V{u"native.StreamToBlock", u"native.base64", u"native.RSA",
                 u"native.XXTEA.Large.Littleend"}));
    EXPECT_EQ(All(lib.StreamCiphers_ByDisplayName()),
              (V{u"Block mode", u"Base64", u"RSA public key encryption system",
                 u"XXTEA (large block; little-endien)"}));
    EXPECT_EQ(All(lib.BlockCiphers_ByProgId()),
              (V{u"native.AES-128", u"native.AES-192", u"native.AES-256", u"native.DES",
                 u"native.3DES.2", u"native.3DES.1", u"native.Blowfish", u"native.Twofish"}));
    EXPECT_EQ(All(lib.BlockCiphers_ByDisplayName()),
              (V{u"AES-%d", u"AES-%d", u"AES-%d", u"DES", u"3DES (Keying option 2)",
                 u"3DES (Keying option 1)", u"Blowfish", u"Twofish"}));
    EXPECT_EQ(All(lib.Hashs_ByProgId()),
              (V{u"native.hash.SHA-1", u"native.hash.SHA-224", u"native.hash.SHA-256",
                 u"native.hash.SHA-384", u"native.hash.SHA-512", u"native.hash.SHA-512/224",
                 u"native.hash.SHA-512/256", u"native.hash.MD5"}));
    EXPECT_EQ(All(lib.Hashs_ByDisplayName()),
              (V{u"SHA-1", u"SHA-224", u"SHA-256", u"SHA-384", u"SHA-512", u"SHA-512/224",
                 u"SHA-512/256", u"MD5"}));
    EXPECT_EQ(All(lib.ChainModes_ByProgId()),
              (V{u"native.ECB", u"native.CBC", u"native.CFB", u"native.OFB", u"native.CTR",
                 u"native.CFB-8bit", u"native.PCBC"}));
    EXPECT_EQ(All(lib.ChainModes_ByDisplayName()), (V{u"ECB (with block padding)", u"CBC", u"CFB",
                                                      u"OFB", u"CTR", u"CFB 8-bit", u"PCBC"}));
}

TEST(Library, OnlyTheAlgorithmsOnThePathAreImplemented) {
    TCryptographicLibrary lib;
    const std::vector<UnicodeString> implemented = {u"native.StreamToBlock", u"native.Twofish",
                                                    u"native.CBC", u"native.CFB-8bit",
                                                    u"native.hash.SHA-1"};
    auto check = [&](const auto& list) {
        for (const auto& a : list) {
            const bool isImplemented =
                std::find(implemented.begin(), implemented.end(), a->ProgId()) != implemented.end();
            EXPECT_EQ(a->Features().Contains(afNotImplementedYet), !isImplemented)
                << ToUtf8(a->ProgId());
        }
    };
    check(lib.StreamCiphers());
    check(lib.BlockCiphers());
    check(lib.ChainModes());
    check(lib.Hashes());

    // Key derivation asks the control object, which a block adapter takes from its cipher.
    auto blowfish = lib.BlockCipherIntfc(u"native.Blowfish");
    auto blowfishControl = std::dynamic_pointer_cast<IControlObject>(blowfish);
    ASSERT_NE(blowfishControl, nullptr);
    EXPECT_EQ(
        DeclaredSeedByteSizeRange(blowfishControl->ControlObject().get(), blowfish->SeedByteSize()),
        (IntegerRange{1, 56}));
    auto aes = lib.BlockCipherIntfc(u"native.AES-128");
    EXPECT_EQ(DeclaredSeedByteSizeRange(aes.get(), aes->SeedByteSize()), (IntegerRange{16, 16}));
    EXPECT_NE(
        std::dynamic_pointer_cast<IisBase64Converter>(lib.StreamCipherIntfc(u"native.base64")),
        nullptr);
    EXPECT_EQ(lib.HashIntfc(u"native.hash.SHA-1")->Features(),
              (TAlgorithmicFeatureSet{afCryptographicallyWeak, afOpenSourceSoftware}));
}

TEST(Library, LookupMatchesWholeIdentifiersIgnoringAsciiCase) {
    TCryptographicLibrary lib;
    struct {
        const char16_t* Id;
        bool Found;
    } const cases[] = {
        {u"native.Twofish", true},       {u"NATIVE.TWOFISH", true},   {u"nAtIvE.tWoFiSh", true},
        {u"native.Twofish ", false},     {u" native.Twofish", false}, {u"Twofish", false},
        {u"native.Two", false},          {u"native.AES-%d", false},   {u"", false},
        {u"native.Twofi\u017Fh", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lib.BlockCipherIntfc(c.Id) != nullptr, c.Found) << ToUtf8(c.Id);
    }
    EXPECT_EQ(lib.BlockCipherIntfc(u"native.AES-192"), lib.BlockCiphers()[1]);
    EXPECT_EQ(lib.StreamCipherIntfc(u"Native.StreamToBlock"), lib.StreamCiphers()[0]);
    EXPECT_EQ(lib.BlockChainingModelIntfc(u"native.cbc"), lib.ChainModes()[1]);
    EXPECT_EQ(lib.HashIntfc(u"NATIVE.HASH.MD5"), lib.Hashes()[7]);
    EXPECT_EQ(lib.HashIntfc(u"native.CBC"), nullptr);
    EXPECT_EQ(lib.GetBlockCipherDisplayNames(u"native.twofish"), u"Twofish");
    EXPECT_EQ(lib.GetChainModesDisplayNames(u"nothing"), u"");
    EXPECT_EQ(lib.BlockCiphers_ByProgId().IndexOf(u"NATIVE.twofish"), 7);
}

TEST(Library, RegistrationReplacesTheSameIdentifierAndAnnouncesOnce) {
    TCryptographicLibrary lib;
    CountingWatcher w;
    lib.RegisterWatcher(&w);
    lib.RegisterWatcher(&w);

    auto builtIn = lib.BlockChainingModelIntfc(u"native.CBC");
    auto replacement = std::make_shared<TCBC>();
    lib.RegisterBlockChainingModel(replacement);
    EXPECT_EQ(w.Count, 1);
    EXPECT_EQ(lib.BlockChainingModelIntfc(u"NATIVE.CBC"), replacement);
    ASSERT_EQ(lib.ChainModes().size(), 7u);
    EXPECT_EQ(lib.ChainModes().back(), replacement);
    EXPECT_EQ(lib.ChainModes_ByProgId().IndexOf(u"native.CBC"), 6);

    lib.RegisterBlockChainingModel(replacement);
    EXPECT_EQ(w.Count, 1) << "the same object again changes nothing";
    EXPECT_EQ(lib.ChainModes().size(), 7u);

    lib.DeregisterBlockChainingModel(replacement);
    EXPECT_EQ(w.Count, 2);
    EXPECT_EQ(lib.BlockChainingModelIntfc(u"native.CBC"), nullptr);

    lib.DegisterWatcher(&w);
    lib.RegisterBlockChainingModel(builtIn);
    EXPECT_EQ(w.Count, 2);
    EXPECT_EQ(lib.BlockChainingModelIntfc(u"native.CBC"), builtIn);
}

TEST(Library, ViewsAreLiveAndReadOnly) {
    TCryptographicLibrary lib;
    const TCryptLibStrings& view = lib.StreamCiphers_ByProgId();
    EXPECT_EQ(view.Count(), 4);
    auto extra = std::make_shared<TStreamToBlock_Adapter>();
    lib.RegisterStreamCipher(extra); // same identifier: replaces the built-in adapter
    EXPECT_EQ(view.Count(), 4);
    EXPECT_EQ(view[3], u"native.StreamToBlock");
    auto& mutableView = const_cast<TCryptLibStrings&>(view);
    mutableView.Add(u"x");
    mutableView.Delete(0);
    mutableView.Clear();
    EXPECT_EQ(view.Count(), 4);
    EXPECT_THROW(view[4], ERangeError);
}

TEST(Library, DestructionAnnouncesAndLookupsThenFindNothing) {
    std::vector<bool> foundDuringNotice;
    CountingWatcher w;
    auto lib = std::make_unique<TCryptographicLibrary>();
    TCryptographicLibrary* raw = lib.get(); // reset() clears lib before destroying it
    w.OnChange = [&] {
        foundDuringNotice.push_back(raw->BlockCipherIntfc(u"native.Twofish") != nullptr ||
                                    raw->StreamCipherIntfc(u"native.StreamToBlock") != nullptr);
    };
    lib->RegisterWatcher(&w);
    lib.reset();
    ASSERT_EQ(foundDuringNotice.size(), 1u);
    EXPECT_FALSE(foundDuringNotice[0]);
}

TEST(Library, DestructionNoticeReachesComponentsThatAskedForIt) {
    struct Holder : TComponent {
        TComponent* Lib = nullptr;
        void Notification(TComponent* c, TOperation op) override {
            if (op == TOperation::opRemove && c == Lib) {
                Lib = nullptr;
            }
        }
    } holder;
    auto lib = std::make_unique<TCryptographicLibrary>();
    holder.Lib = lib.get();
    lib->FreeNotification(&holder);
    lib.reset();
    EXPECT_EQ(holder.Lib, nullptr);
}

TEST(Library, ChildLibrariesAnswerLookupsTheParentCannot) {
    CountingWatcher parentWatcher; // outlives the libraries that notify it
    TCryptographicLibrary parent, first, second;
    auto mine = std::make_shared<TCBC>();
    struct Renamed : TCBC {
        UnicodeString ProgId() const override { return u"test.Chain"; }
    };
    auto a = std::make_shared<Renamed>();
    auto b = std::make_shared<Renamed>();
    first.RegisterBlockChainingModel(a);
    second.RegisterBlockChainingModel(b);

    parent.RegisterWatcher(&parentWatcher);
    first.SetParentLibrary(&parent);
    second.SetParentLibrary(&parent);
    EXPECT_EQ(parentWatcher.Count, 2);
    EXPECT_EQ(parent.BlockChainingModelIntfc(u"TEST.chain"), a) << "children in joining order";
    EXPECT_EQ(parent.BlockChainingModelIntfc(u"native.CBC"), parent.ChainModes()[1]);
    EXPECT_EQ(parent.BlockChainingModelIntfc(u"none"), nullptr);

    // A change below is announced upwards.
    first.RegisterBlockChainingModel(mine);
    EXPECT_EQ(parentWatcher.Count, 3);

    first.SetParentLibrary(nullptr);
    EXPECT_EQ(parentWatcher.Count, 4);
    EXPECT_EQ(parent.BlockChainingModelIntfc(u"test.chain"), b);
    {
        TCryptographicLibrary grandChild;
        grandChild.SetParentLibrary(&second);
        EXPECT_EQ(grandChild.ParentLibrary(), &second);
    }
    EXPECT_EQ(parent.BlockChainingModelIntfc(u"test.chain"), b);
}

TEST(Library, ParentDestructionReleasesChildren) {
    TCryptographicLibrary child;
    {
        TCryptographicLibrary parent;
        child.SetParentLibrary(&parent);
        EXPECT_EQ(child.ParentLibrary(), &parent);
    }
    EXPECT_EQ(child.ParentLibrary(), nullptr);
    child.SetParentLibrary(nullptr);
}

TEST(Library, ChainingIsAtMostTenDeepAndNeverCircular) {
    std::vector<std::unique_ptr<TCryptographicLibrary>> libs;
    for (int i = 0; i < 11; ++i) {
        libs.push_back(std::make_unique<TCryptographicLibrary>());
    }
    for (int i = 1; i < 10; ++i) {
        libs[static_cast<std::size_t>(i)]->SetParentLibrary(
            libs[static_cast<std::size_t>(i - 1)].get());
    }
    try {
        libs[10]->SetParentLibrary(libs[9].get());
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"TCryptographicLibrarys cannot chain more than 10 deep.");
    }
    EXPECT_EQ(libs[10]->ParentLibrary(), nullptr);
    // A subtree counts too: hanging a two-level chain below level 9 would make 11.
    TCryptographicLibrary top, below;
    below.SetParentLibrary(&top);
    EXPECT_THROW(top.SetParentLibrary(libs[8].get()), Exception);
    EXPECT_NO_THROW(top.SetParentLibrary(libs[7].get()));

    for (TCryptographicLibrary* self : {libs[0].get(), libs[5].get()}) {
        try {
            self->SetParentLibrary(libs[6].get() == self ? libs[0].get() : libs[6].get());
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), u"Circular TCryptographicLibrary chaining is prohibited.");
        }
    }
    EXPECT_THROW(libs[3]->SetParentLibrary(libs[3].get()), Exception);
    top.SetParentLibrary(nullptr);
}

TEST(Library, DecoratedDisplayNames) {
    TCryptographicLibrary lib;
    struct Sel : IBlockCipherSelector {
        std::shared_ptr<IBlockCipher> B;
        std::shared_ptr<IBlockChainingModel> C;
        std::shared_ptr<IBlockCipher> GetBlockCipher() override { return B; }
        std::shared_ptr<IBlockChainingModel> GetChainMode() override { return C; }
    };
    auto prototype = lib.StreamCipherIntfc(u"native.StreamToBlock");
    auto bind = [&](const char16_t* blockId) {
        Sel s;
        s.B = lib.BlockCipherIntfc(blockId);
        s.C = lib.BlockChainingModelIntfc(u"native.CBC");
        return prototype->MakeParameterized(&s);
    };
    auto twofish = lib.BlockCipherIntfc(u"native.Twofish");
    auto aes256 = lib.BlockCipherIntfc(u"native.AES-256");
    EXPECT_EQ(TCryptographicLibrary::ComputeCipherDisplayName(bind(u"native.Twofish").get(),
                                                              twofish.get()),
              u"[Twofish]");
    EXPECT_EQ(TCryptographicLibrary::ComputeCipherDisplayName(bind(u"native.AES-256").get(),
                                                              aes256.get()),
              u"[AES-256 (not implemented yet!)]");
    EXPECT_EQ(TCryptographicLibrary::ComputeCipherDisplayName(prototype.get(), nullptr),
              u"Block mode *");
    EXPECT_EQ(TCryptographicLibrary::ComputeCipherDisplayName(
                  lib.StreamCipherIntfc(u"native.RSA").get(), twofish.get()),
              u"RSA public key encryption system (not implemented yet!)");
    EXPECT_EQ(TCryptographicLibrary::ComputeCipherDisplayName(nullptr, twofish.get()), u"");
    EXPECT_EQ(TCryptographicLibrary::ComputeChainDisplayName(
                  lib.BlockChainingModelIntfc(u"native.CBC").get()),
              u"CBC *");
    EXPECT_EQ(TCryptographicLibrary::ComputeChainDisplayName(
                  lib.BlockChainingModelIntfc(u"native.OFB").get()),
              u"OFB (not implemented yet!)");
    EXPECT_EQ(
        TCryptographicLibrary::ComputeHashDisplayName(lib.HashIntfc(u"native.hash.SHA-1").get()),
        u"SHA-1");
}

TEST(Library, CustomStreamCipherIsFoundByItsExactIdentifierOnly) {
    TCryptographicLibrary lib;
    int keys = 0;
    lib.SetCustomCipher(TCustomStreamCipher{u"Mine", u"my.Cipher", {afStar}, 12});
    lib.SetOnCustomCipherGenerateKey([&](TCryptographicLibrary& l, TStream&) {
        EXPECT_EQ(&l, &lib);
        ++keys;
        return std::unique_ptr<TSymetricKey>();
    });
    auto custom = lib.StreamCipherIntfc(u"my.Cipher");
    ASSERT_NE(custom, nullptr);
    EXPECT_EQ(custom->DisplayName(), u"Mine");
    EXPECT_EQ(custom->SeedByteSize(), 12);
    TMemoryStream seed;
    custom->GenerateKey(seed);
    EXPECT_EQ(keys, 1);
    EXPECT_EQ(lib.StreamCipherIntfc(u"MY.CIPHER"), nullptr);
    EXPECT_EQ(lib.StreamCiphers_ByProgId().IndexOf(u"my.Cipher"), -1);

    // The custom cipher comes before the lists, even for a registered identifier.
    lib.SetCustomCipher(TCustomStreamCipher{u"Over", u"native.StreamToBlock", {}, -1});
    EXPECT_EQ(lib.StreamCipherIntfc(u"native.StreamToBlock"), custom);
    EXPECT_NE(lib.StreamCipherIntfc(u"native.streamtoblock"), custom);
}

} // namespace
} // namespace velora
