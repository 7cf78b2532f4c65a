// Every server address the updater knows by itself, kept in one place.
// Builds without KESTRA_RELEASE_HOSTS point them all at loopback, so that a
// test or a demo that forgets to configure an address can never leave the
// machine.
#pragma once

#include <string>

namespace kestra::config::endpoints {

std::string DefaultPatchListUrl();   // text 108, "/tqm/btpatch_list6.txt"
std::string DefaultNoticeUrl();      // "/images/ad_pic/patchinfo.txt"
std::string DefaultTaskBase();       // task base when the list names none
std::string HelpPageUrl();           // "/res/guide/paper/8036.html"
std::string PatchDownloadPageUrl();  // link 1010
std::string ManualUpdatePageUrl();   // link 1011
std::string GameHomePageUrl();       // link 1012, logo 1017
std::string MaintenanceNewsUrl();    // link 1019
std::string ForumThreadUrl();        // link 1021
std::string MakerHomePageUrl();      // logo 1016
// The client-log collection endpoint, "/ClientLog/main.py". The environment
// variable KESTRA_CLIENTLOG_URL replaces it (tests point it at their server).
std::string ClientLogUrl();

}  // namespace kestra::config::endpoints
