// orva_decklink_enum.cpp: lists the DeckLink cards and the display modes of
// their capture or playback side.
//
// DESIGN: every object the driver hands out is released exactly once, on
// every path. Caps are checked before asking the driver for more, so no card
// or mode is ever fetched only to be dropped unreleased. A card fills the
// record slot at the current index; only a card that is kept moves the index
// on, so a skipped card's name is overwritten by the next one.
#include <cstdlib>

#include "devices/orva_decklink_api.h"
#include "devices/orva_devices.h"
#include "orva_text.h"

namespace {

bool isInterlaced(BMDFieldDominance dominance) {
    return dominance == bmdLowerFieldFirst || dominance == bmdUpperFieldFirst;
}

// The driver's 64-bit widths and times are kept truncated to 32 bits.
void fillMode(IDeckLinkDisplayMode& mode, ORVA_DECKLINK_MODE& record) {
    BMDTimeValue duration = 0;
    BMDTimeScale scale = 0;
    if (mode.GetFrameRate(&duration, &scale) != S_OK)
        duration = scale = 0;
    record.fmtcode = static_cast<int32_t>(mode.GetDisplayMode());
    record.width = static_cast<int32_t>(mode.GetWidth());
    record.height = static_cast<int32_t>(mode.GetHeight());
    record.numFrame = static_cast<int32_t>(scale);
    record.denFrame = static_cast<int32_t>(duration);
    record.interlaced = isInterlaced(mode.GetFieldDominance()) ? 1 : 0;
}

void listModes(IDeckLinkDisplayModeIterator& modes, ORVA_DECKLINK_CARD& card) {
    int32_t stored = 0;
    IDeckLinkDisplayMode* mode = nullptr;
    while (stored < kOrvaMaxDeckLinkModes && modes.Next(&mode) == S_OK && mode != nullptr) {
        fillMode(*mode, card.modes[stored++]);
        mode->Release();
        mode = nullptr;
    }
    card.numModes = stored;
}

// Lists the modes of the card's capture or playback side; false when the side
// is there but will not give its modes, so the card is not counted.
template <typename Side>
bool listSide(IDeckLink& deckLink, const REFIID& iid, ORVA_DECKLINK_CARD& card) {
    Side* side = nullptr;
    if (deckLink.QueryInterface(iid, reinterpret_cast<void**>(&side)) != S_OK || side == nullptr)
        return true;  // a card without this side is listed with no modes
    IDeckLinkDisplayModeIterator* modes = nullptr;
    if (side->GetDisplayModeIterator(&modes) != S_OK || modes == nullptr) {
        side->Release();
        return false;
    }
    listModes(*modes, card);
    modes->Release();
    side->Release();
    return true;
}

// Fills the card record from one card and releases the card; answers whether
// the card counts.
bool describeCard(IDeckLink& deckLink, int output, ORVA_DECKLINK_CARD& card) {
    const char* name = nullptr;
    if (deckLink.GetDisplayName(&name) != S_OK || name == nullptr) {
        deckLink.Release();
        return false;
    }
    copyText(card.name, name);  // a display name may be cut at 999 characters
    free(const_cast<char*>(name));
    card.numModes = 0;
    bool counted = output != 0 ? listSide<IDeckLinkOutput>(deckLink, IID_IDeckLinkOutput, card)
                               : listSide<IDeckLinkInput>(deckLink, IID_IDeckLinkInput, card);
    deckLink.Release();
    return counted;
}

}  // namespace

int orvaEnumBMD(int output, ORVA_DECKLINKS* result) {
    IDeckLinkIterator* cards = CreateDeckLinkIteratorInstance();
    if (cards == nullptr)
        return -1;
    uint32_t count = 0;
    IDeckLink* deckLink = nullptr;
    while (count < kOrvaMaxDeckLinkCards && cards->Next(&deckLink) == S_OK && deckLink != nullptr) {
        if (describeCard(*deckLink, output, result->cards[count]))
            count++;
        deckLink = nullptr;
    }
    cards->Release();
    result->count = count;
    return 0;
}
