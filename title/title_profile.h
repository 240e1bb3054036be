// The build-time constants that tie the updater to one title and one update.
// The values come from the title profile folder; the build generates their
// definition (title_profile_data.cpp), so this header never changes per title.
#pragma once

struct PayloadCodec;  // apply/payload_source.h
struct PatchCodec;    // apply/patch_apply.h

struct TitleProfile {
  const char* makerFolder;           // folder under the user's AppData that holds the settings file
  const char* displayTitle;          // shown in the caption and in messages (code page 932)
  const char* baseName;              // main program "<base>.exe" and settings file "<base>.ini"
  const char* updateVersion;         // recorded after a successful update, compared as a number
  const char* const* payloadList;    // relative paths with "\", ended by a null entry
  const char* updateInfoName;        // update-information list file name; empty turns the merge off
  const PayloadCodec* payloadCodec;  // how the payload resources are stored; null: raw
  bool offersEnglish;                // English texts for a player whose Windows is not in Japanese
  // Patches from the files of releases players may have (UPDATER_BASE); null:
  // none carried, and the decoder not linked.
  const PatchCodec* patchCodec = nullptr;
  // Those releases' names, as the player whose installation is none of them is told.
  const char* patchReleases = "";
};

// Defined by the generated profile source of the program being linked.
extern const TitleProfile kTitleProfile;

// The profile the program works with: kTitleProfile, except in tests that
// exercise one operation against another payload list or title.
extern const TitleProfile* gTitleProfile;
