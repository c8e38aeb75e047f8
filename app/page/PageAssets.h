// The page's files, embedded at build time from page/.
#pragma once

#include <string>

const std::string& PageHtml();
const std::string& PageScript();
const std::string& PageStyle();
