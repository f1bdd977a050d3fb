// The token manager ("zelk.tokenmgr"): the service's one registry of token
// objects, one per slot that announced a token, and the reader manager's one
// sink, which passes slot events on to the registered slot-event sinks in
// registration order.
#pragma once

#include "../core/aux_arrays.h"
#include "../core/service_events.h"
#include "qev_records.h"
#include "qev_token.h"
#include "token.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"

ZELK_DEFINE_GUID(IID_CTokenMgr, 0x8B27D4E3, 0x1F63, 0x4A0C, 0xB5, 0x7E, 0x3D, 0x92, 0x0A, 0x6F, 0xC1, 0x4B);

namespace ZELK::PSESVC {

class CReaderMgr;
class CModelReader;
class CModelOwnCerts;
class CToken_KV;
class IGUIModelOwnCert;

// Makes the token object of an enrolment-profile URI ("toksw:mem://kestrin/"
// + profile) with one reference for the caller.
using ProfileTokenCreator = HRESULT (*)(const char* uri, CToken** out);

class CTokenMgr : public ISlotEvents, public CSingletonFactoryImpl<CTokenMgr>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CTokenMgr)
    ZELK_INTMAP_ENTRY_CLASS(IID_CTokenMgr)
    ZELK_INTMAP_ENTRY(ISlotEvents)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CTokenMgr; }

    CTokenMgr() = default;
    ~CTokenMgr() override;

    // A removal drops the slot's token object before the sinks hear of it, an
    // insertion makes it after they did; a forced insert (a card change)
    // makes it without telling them; 0.
    HRESULT SlotEvent(EVENT event, SecSlot* slot) override;
    // Registers with the reader manager as its sink.
    HRESULT Initialize() override;
    HRESULT Finalize() override;
    // 0, or 0x80000003 when `sink` has no ISlotEvents.
    virtual HRESULT RegisterEventSink(IUnknown* sink);
    virtual HRESULT UnregisterEventSink(IUnknown* sink);
    virtual HRESULT ForwardEvent(EVENT event, SecSlot* slot);
    // Makes the token object of the slot's token unless its URI has one, and
    // registers the token's model item: 0; 1 for a "tokcapi:" token without
    // certificates (nothing kept); 0x80004005 without slot, token, model item
    // or token object, or the creator's failure.
    virtual HRESULT CardInsert(SecSlot* slot, bool forced);
    // Drops the first token object in that reader and the own certificates of
    // the slot; 0, 1 for a NULL slot.
    virtual HRESULT CardRemove(SecSlot* slot);
    // The reader model item of the slot (1 and NULL without one).
    virtual HRESULT GetReaderInfo(SecSlot* slot, CModelReader** reader);
    // Waits for a full reader scan and every monitor's first load; 0.
    virtual HRESULT WaitForAllMonitors();

    // Token operations by token URI (with case); 0xA1D00107 when no token
    // object has it.
    virtual HRESULT GetTokenByName(const char* uri, SecToken** out);
    virtual HRESULT GetTokenByName(const char* uri, CToken** out);
    // Appends every token's personal certificate infos after what the list
    // holds; 0.
    virtual HRESULT GetPCI(SET_OF_PersonalCertificateInfo** cursor, SECAttribute* filter);
    // Appends the distinct additional certificates of all tokens at the
    // cursor, after what the list holds; 0.
    virtual HRESULT GetTrustedCertList(SET_OF_Certificate** list);
    // The URIs of the tokens a policy allows, in order of preference, as a new
    // list; without a policy those of the policy path ("/" when NULL).
    virtual HRESULT GetTokenURIsByPolicy(const char* path, ZELK_IPolicy* policy, SET_OF_String** uris);
    // Whether the token a policy selects is available; `description` (NULL
    // allowed) receives a new text naming it.
    virtual bool IsValidPolicy(ZELK_IPolicy* policy, char** description);
    virtual HRESULT Sign(const char* uri, const char* keyId, const AlgId* algorithm, bool flag, const unsigned char* in,
                         unsigned long inLength, unsigned char* out, unsigned long* outLength,
                         SECAttribute* attributes);
    virtual HRESULT Decrypt(const char* uri, const char* keyId, const AlgId* algorithm, const unsigned char* in,
                            unsigned long inLength, unsigned char* out, unsigned long* outLength,
                            SECAttribute* attributes);
    // The profile token's login verb (the favourite's profile for an empty
    // name); with a target, the target is allowed manual server trust and
    // recorded by an enrolment token. The verb's result.
    virtual HRESULT Login(const char* token, const char* target);
    // The profile token's logout without a dialog, and its result.
    virtual HRESULT Logout(const char* token);
    // 1 when the profile token needs a login, 0 when not.
    virtual HRESULT GetIsEnrolled(const char* token);
    // The profile monitor's later clean-up: nothing is kept for removed
    // profiles, so there is nothing to do. 0.
    virtual HRESULT CleanupPersistentTokens();

    // The profile part of the token URI a policy's "Profile" names ("user/"
    // in front for a user-group policy), NULL for none; 0.
    HRESULT GetProfileByPolicy(ZELK_IPolicy* policy, char** profile);
    // The first own certificate with that fingerprint (blanks and colons
    // ignored, any case) whose token URI starts with `kind` (any case; every
    // kind when empty); 1 when none, 0x80004005 for an empty fingerprint.
    HRESULT GetOwnCertByFingerprint(const char* fingerprint, const char* kind, IGUIModelOwnCert** cert);
    // The own certificate a policy names by fingerprint, or the first that
    // passes its filter for "tokcapi"; 1 when none.
    HRESULT GetOwnCertByPolicy(const char* path, ZELK_IPolicy* policy, IGUIModelOwnCert** cert);
    // The profile token "toksw:mem://kestrin/" + profile; 0x80004005 when none.
    HRESULT GetOwnKVSTokenByName(const char* profile, CToken** token);
    // The profile whose enrolment URL matches the origin `host` and carries
    // the profile id after "?profile="; 0xA1D00107 when none.
    HRESULT GetProfileNameByID(const char* host, const char* profileId, char** profileName);
    // The origins of the enrolment URLs of the web-adapter profiles, as a new
    // list of texts ended by an empty one; 0.
    HRESULT GetAllConfiguredKVSURIs(char** origins);
    // The profile token at `index`; 0x80004005 past the end.
    HRESULT GetAllKVSTokens(unsigned long index, CToken_KV** token);

    // The profile token, or the favourite's profile token for an empty name;
    // 0x80004005 when there is none.
    HRESULT getTokenByNameWithDefault(const char* profile, CToken** token);

    // The creator of enrolment-profile tokens; NULL removes it.
    static void SetProfileTokenCreator(ProfileTokenCreator creator);
    // Where a login's target is allowed manual server trust (the connection
    // broker registers it); NULL removes it.
    typedef HRESULT (*TrustTargetSink)(const char* target);
    static void SetTrustTargetSink(TrustTargetSink sink);
    static HRESULT EmergencyShutdown();
    // The singleton with one reference, without making it: 0x80004005 when
    // there is none.
    static HRESULT GetExisting(CTokenMgr** out);

private:
    // The token objects of that list with a reference each, taken under its
    // lock, so that callers run them without it.
    static void Snapshot(CriticalSection& cs, const AuxRefArray<CToken>& list, AuxRefArray<CToken>& out)
    {
        CriticalCodeSection lock(&cs);
        for (uint64_t i = 0; i < list.Count(); ++i)
            out.Add(list[i]);
    }
    // The first object of the snapshot whose URI is `uri`, with a reference.
    static CToken* FindByUrl(const AuxRefArray<CToken>& tokens, const char* uri);

    CriticalSection m_csTokens;
    CriticalSection m_csProfileTokens;
    AuxRefArray<CToken> m_apProfileTokens;
    AuxRefArray<CToken> m_apTokens;
    AuxRefArray<CToken> m_apForcedTokens;
    CriticalSection m_csSinks;
    AuxRefArray<ISlotEvents> m_sinks;
    CReaderMgr* m_readerMgr = nullptr;
    // Held from Initialize to Finalize, which empties them: the singletons
    // may be gone by then.
    CModelTokens* m_modelTokens = nullptr;
    CModelOwnCerts* m_modelOwnCerts = nullptr;
};

}  // namespace ZELK::PSESVC
