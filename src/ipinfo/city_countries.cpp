#include "ipinfo/city_countries.h"

namespace quillon {
namespace {

// The table every GeoIP City reader shares, ids 0 to 255, as libGeoIP 1.6 has
// it: databases in use were written against it, so an entry never moves.
constexpr std::string_view kCodes =
    "--APEUADAEAFAGAIALAMCWAOAQARASAT"  // 0
    "AUAWAZBABBBDBEBFBGBHBIBJBMBNBOBR"  // 16
    "BSBTBVBWBYBZCACCCDCFCGCHCICKCLCM"  // 32
    "CNCOCRCUCVCXCYCZDEDJDKDMDODZECEE"  // 48
    "EGEHERESETFIFJFKFMFOFRSXGAGBGDGE"  // 64
    "GFGHGIGLGMGNGPGQGRGSGTGUGWGYHKHM"  // 80
    "HNHRHTHUIDIEILINIOIQIRISITJMJOJP"  // 96
    "KEKGKHKIKMKNKPKRKWKYKZLALBLCLILK"  // 112
    "LRLSLTLULVLYMAMCMDMGMHMKMLMMMNMO"  // 128
    "MPMQMRMSMTMUMVMWMXMYMZNANCNENFNG"  // 144
    "NINLNONPNRNUNZOMPAPEPFPGPHPKPLPM"  // 160
    "PNPRPSPTPWPYQARERORURWSASBSCSDSE"  // 176
    "SGSHSISJSKSLSMSNSOSRSTSVSYSZTCTD"  // 192
    "TFTGTHTJTKTMTNTOTLTRTTTVTWTZUAUG"  // 208
    "UMUSUYUZVAVCVEVGVIVNVUWFWSYEYTRS"  // 224
    "ZAZMMEZWA1A2O1AXGGIMJEBLMFBQSSO1";  // 240
static_assert(kCodes.size() == 512);

// Id 0 names no country, so it has no name.
constexpr std::string_view kNames[256] = {
    /*   0 */ "", "Asia/Pacific Region", "Europe", "Andorra", "United Arab Emirates", "Afghanistan",
    /*   6 */ "Antigua and Barbuda", "Anguilla", "Albania", "Armenia", "Curacao", "Angola", "Antarctica",
    /*  13 */ "Argentina", "American Samoa", "Austria", "Australia", "Aruba", "Azerbaijan",
    /*  19 */ "Bosnia and Herzegovina", "Barbados", "Bangladesh", "Belgium", "Burkina Faso", "Bulgaria", "Bahrain",
    /*  26 */ "Burundi", "Benin", "Bermuda", "Brunei Darussalam", "Bolivia", "Brazil", "Bahamas", "Bhutan",
    /*  34 */ "Bouvet Island", "Botswana", "Belarus", "Belize", "Canada", "Cocos (Keeling) Islands",
    /*  40 */ "Congo, The Democratic Republic of the", "Central African Republic", "Congo", "Switzerland",
    /*  44 */ "Cote D'Ivoire", "Cook Islands", "Chile", "Cameroon", "China", "Colombia", "Costa Rica", "Cuba",
    /*  52 */ "Cape Verde", "Christmas Island", "Cyprus", "Czech Republic", "Germany", "Djibouti", "Denmark",
    /*  59 */ "Dominica", "Dominican Republic", "Algeria", "Ecuador", "Estonia", "Egypt", "Western Sahara",
    /*  66 */ "Eritrea", "Spain", "Ethiopia", "Finland", "Fiji", "Falkland Islands (Malvinas)",
    /*  72 */ "Micronesia, Federated States of", "Faroe Islands", "France", "Sint Maarten (Dutch part)", "Gabon",
    /*  77 */ "United Kingdom", "Grenada", "Georgia", "French Guiana", "Ghana", "Gibraltar", "Greenland", "Gambia",
    /*  85 */ "Guinea", "Guadeloupe", "Equatorial Guinea", "Greece", "South Georgia and the South Sandwich Islands",
    /*  90 */ "Guatemala", "Guam", "Guinea-Bissau", "Guyana", "Hong Kong", "Heard Island and McDonald Islands",
    /*  96 */ "Honduras", "Croatia", "Haiti", "Hungary", "Indonesia", "Ireland", "Israel", "India",
    /* 104 */ "British Indian Ocean Territory", "Iraq", "Iran, Islamic Republic of", "Iceland", "Italy", "Jamaica",
    /* 110 */ "Jordan", "Japan", "Kenya", "Kyrgyzstan", "Cambodia", "Kiribati", "Comoros", "Saint Kitts and Nevis",
    /* 118 */ "Korea, Democratic People's Republic of", "Korea, Republic of", "Kuwait", "Cayman Islands",
    /* 122 */ "Kazakhstan", "Lao People's Democratic Republic", "Lebanon", "Saint Lucia", "Liechtenstein",
    /* 127 */ "Sri Lanka", "Liberia", "Lesotho", "Lithuania", "Luxembourg", "Latvia", "Libya", "Morocco", "Monaco",
    /* 136 */ "Moldova, Republic of", "Madagascar", "Marshall Islands", "Macedonia", "Mali", "Myanmar", "Mongolia",
    /* 143 */ "Macau", "Northern Mariana Islands", "Martinique", "Mauritania", "Montserrat", "Malta", "Mauritius",
    /* 150 */ "Maldives", "Malawi", "Mexico", "Malaysia", "Mozambique", "Namibia", "New Caledonia", "Niger",
    /* 158 */ "Norfolk Island", "Nigeria", "Nicaragua", "Netherlands", "Norway", "Nepal", "Nauru", "Niue",
    /* 166 */ "New Zealand", "Oman", "Panama", "Peru", "French Polynesia", "Papua New Guinea", "Philippines",
    /* 173 */ "Pakistan", "Poland", "Saint Pierre and Miquelon", "Pitcairn Islands", "Puerto Rico",
    /* 178 */ "Palestinian Territory", "Portugal", "Palau", "Paraguay", "Qatar", "Reunion", "Romania",
    /* 185 */ "Russian Federation", "Rwanda", "Saudi Arabia", "Solomon Islands", "Seychelles", "Sudan", "Sweden",
    /* 192 */ "Singapore", "Saint Helena", "Slovenia", "Svalbard and Jan Mayen", "Slovakia", "Sierra Leone",
    /* 198 */ "San Marino", "Senegal", "Somalia", "Suriname", "Sao Tome and Principe", "El Salvador",
    /* 204 */ "Syrian Arab Republic", "Swaziland", "Turks and Caicos Islands", "Chad",
    /* 208 */ "French Southern Territories", "Togo", "Thailand", "Tajikistan", "Tokelau", "Turkmenistan", "Tunisia",
    /* 215 */ "Tonga", "Timor-Leste", "Turkey", "Trinidad and Tobago", "Tuvalu", "Taiwan",
    /* 221 */ "Tanzania, United Republic of", "Ukraine", "Uganda", "United States Minor Outlying Islands",
    /* 225 */ "United States", "Uruguay", "Uzbekistan", "Holy See (Vatican City State)",
    /* 229 */ "Saint Vincent and the Grenadines", "Venezuela", "Virgin Islands, British", "Virgin Islands, U.S.",
    /* 233 */ "Vietnam", "Vanuatu", "Wallis and Futuna", "Samoa", "Yemen", "Mayotte", "Serbia", "South Africa",
    /* 241 */ "Zambia", "Montenegro", "Zimbabwe", "Anonymous Proxy", "Satellite Provider", "Other", "Aland Islands",
    /* 248 */ "Guernsey", "Isle of Man", "Jersey", "Saint Barthelemy", "Saint Martin",
    /* 253 */ "Bonaire, Saint Eustatius and Saba", "South Sudan", "Other",
};

}  // namespace

std::string_view CityCountryCode(uint8_t id) { return kCodes.substr(size_t{id} * 2, 2); }

std::string_view CityCountryName(uint8_t id) { return kNames[id]; }

std::optional<uint8_t> CityCountryId(std::string_view code) {
  for (int id = 0; id < 256; ++id) {
    if (CityCountryCode(static_cast<uint8_t>(id)) == code) return static_cast<uint8_t>(id);
  }
  return std::nullopt;
}

}  // namespace quillon
