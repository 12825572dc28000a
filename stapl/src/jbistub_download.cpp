// The download driver: one function for the server's DownloadFPGA handler and `stapl run`.
// Kept apart from the host services so that programs which only print through the player
// do not pull the driver in.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbimain_file.h"
#include "stapl/src/jbiport.h"
#include "stapl/src/jbistub.h"

namespace {

const char *const jam_stapl_exit_text[] = {
    "Success",
    "Checking chain failure",
    "Reading IDCODE failure",
    "Reading USERCODE failure",
    "Reading UESCODE failure",
    "Entering ISP failure",
    "Unrecognized device",
    "Device revision is not supported",
    "Erase failure",
    "Device is not blank",
    "Device programming failure",
    "Device verify failure",
    "Read failure",
    "Calculating checksum failure",
    "Setting security bit failure",
    "Querying security bit failure",
    "Exiting ISP failure",
    "Performing system test failure",
};

const char *const jam_1_1_exit_text[] = {
    "Success",
    "Illegal initialization values",
    "Unrecognized device",
    "Device revision is not supported",
    "Device programming failure",
    "Device is not blank",
    "Device verify failure",
    "SRAM configuration failure",
};

// Note keys get the value's room: a key longer than 32 characters still prints whole.
constexpr int note_text_length = 256;

constexpr uint32_t action_entry_size = 12;

// How many of the `action_count` action table entries lie inside the image. Entries follow
// one another, so once one runs off the end so do all after it.
int actions_in_image(const unsigned char *image, int32_t size, int action_count) {
  JbiHeader h;
  if (action_count <= 0 || !jbi_read_header(image, size, &h)) return 0;
  if (h.action_table > static_cast<uint32_t>(size)) return 0;
  const uint64_t fit = (static_cast<uint64_t>(size) - h.action_table) / action_entry_size;
  return fit < static_cast<uint64_t>(action_count) ? static_cast<int>(fit) : action_count;
}

// Lists every action of a format 2 file with its optional and recommended procedures. An
// action the query refuses gets an error line of its own and the listing goes on: one broken
// entry must not hide the others.
void list_actions(const unsigned char *image, int32_t size, int action_count) {
  std::printf("\nActions available in this file:\n");
  const int in_image = actions_in_image(image, size, action_count);
  for (int index = 0; index < in_image; ++index) {
    const char *action_name = nullptr;
    const char *description = nullptr;
    JBI_PROCINFO *procedure_list = nullptr;
    const int rc =
        jbi_get_action_info(image, size, index, &action_name, &description, &procedure_list);
    if (action_name != nullptr) {
      if (description != nullptr)
        std::printf("%s \"%s\"\n", action_name, description);
      else
        std::printf("%s\n", action_name);
    }
    while (procedure_list != nullptr) {
      JBI_PROCINFO *next = procedure_list->next;
      if (procedure_list->attributes != 0)
        std::printf("    %s (%s)\n", procedure_list->name,
                    procedure_list->attributes == 1 ? "optional" : "recommended");
      jbi_free(procedure_list);
      procedure_list = next;
    }
    if (rc != JBI_RC_SUCCESS) std::printf("Error in action %d: %s.\n", index, error_text[rc]);
  }
  // Entries claimed beyond the end of the image: one line for all of them, however many the
  // count claims.
  if (in_image < action_count) {
    std::printf("Error in actions %d to %d: %s.\n", in_image, action_count - 1,
                error_text[JBI_RC_FILE_ACCESS]);
  }
  std::printf("\n");
}

// Which budget ended the run, and its value, so that an operator can tell a looping or
// oversized file from a broken board.
void report_budget(int exec_result) {
  const int cause = jbi_run_end_cause();
  if (cause == JBI_END_MEMORY && exec_result == JBI_RC_OUT_OF_MEMORY) {
    if (jbi_memory_budget % (1ul << 20) == 0)
      std::printf("Budget exceeded: memory %lu MiB.\n", jbi_memory_budget >> 20);
    else
      std::printf("Budget exceeded: memory %lu bytes.\n", jbi_memory_budget);
    return;
  }
  if (exec_result != JBI_RC_CANCELLED) return;
  switch (cause) {
    case JBI_END_STOP:
      std::printf("Run stopped on request.\n");
      break;
    case JBI_END_INSTRUCTIONS:
      std::printf("Budget exceeded: %ld instructions.\n", jbi_instruction_limit);
      break;
    case JBI_END_TCK:
      std::printf("Budget exceeded: %ld TCK cycles.\n", jbi_tck_limit);
      break;
    case JBI_END_TIME:
      std::printf("Budget exceeded: run time %ld s.\n", jbi_time_limit);
      break;
    default:
      break;
  }
}

void report_result(int exec_result, int format_version, int exit_code, long error_address,
                   const char *action) {
  if (exec_result == JBI_RC_SUCCESS) {
    std::printf("Exit code = %d... %s\n", exit_code, jbi_exit_code_text(format_version, exit_code));
  } else if (exec_result == JBI_RC_ACTION_NOT_FOUND && format_version == 2) {
    if (action != nullptr && action[0] != '\0')
      std::printf("Error: action \"%s\" is not supported for this Jam file.\nProgram terminated.\n",
                  action);
    else
      std::printf("Error: no action specified for Jam file.\nProgram terminated.\n");
  } else if (exec_result >= 0 && exec_result < JBI_RC_COUNT) {
    std::printf("Error at address %ld: %s.\nProgram terminated.\n", error_address,
                error_text[exec_result]);
  } else {
    std::printf("Unknown error code %d\n", exec_result);
  }
}

}  // namespace

JBI_DOWNLOAD_OUTCOME jbi_last_download = {JBI_RC_SUCCESS, 0, 0};

const char *jbi_exit_code_text(int format_version, int exit_code) {
  if (format_version == 2) {
    if (exit_code >= 0 && exit_code < static_cast<int>(std::size(jam_stapl_exit_text)))
      return jam_stapl_exit_text[exit_code];
  } else if (exit_code >= 0 && exit_code < static_cast<int>(std::size(jam_1_1_exit_text))) {
    return jam_1_1_exit_text[exit_code];
  }
  return "Unknown exit code";
}

void jbi_print_elapsed_time(time_t seconds) {
  // A clock set back during the run must not print as a huge time.
  const unsigned long t = seconds > 0 ? static_cast<unsigned long>(seconds) : 0;
  std::printf("Elapsed time = %02u:%02u:%02u\n", static_cast<unsigned>(t / 3600),
              static_cast<unsigned>((t % 3600) / 60), static_cast<unsigned>(t % 60));
}

int jbi_download(const unsigned char *FPGAdata, long FPGAdata_size, const char *action,
                 const char *const *init_list) {
  char key[note_text_length + 1] = {};
  char value[note_text_length + 1] = {};
  int32_t offset = 0;
  int format_version = 0;
  int action_count = 0;
  int procedure_count = 0;
  long error_address = 0;
  int exit_code = 0;
  uint16_t expected_crc = 0;
  uint16_t actual_crc = 0;

  verbose = 1;
  calibrate_delay();

  // The queries take a 32-bit size; an image beyond that is no file they could read.
  const int32_t size = FPGAdata_size > INT32_MAX ? 0 : static_cast<int32_t>(FPGAdata_size);
  const int crc_result = jbi_check_crc(FPGAdata, size, &expected_crc, &actual_crc);
  if (crc_result == JBI_RC_SUCCESS) {
    std::printf("CRC matched: CRC value = %04X\n", actual_crc);
  } else if (crc_result == JBI_RC_CRC_MISMATCH) {
    std::printf("CRC mismatch: expected %04X, actual %04X\n", expected_crc, actual_crc);
  } else {
    std::printf("Error: File format is not recognized.\n");
    std::fflush(stdout);
    jbi_last_download = {JBI_RC_FILE_ACCESS, 0, 0};
    return JBI_DOWNLOAD_UNRECOGNIZED;
  }

  jbi_get_file_info(FPGAdata, size, &format_version, &action_count, &procedure_count);
  std::printf("File format is %s Byte-code format\n",
              format_version == 2 ? "Jam STAPL" : "Jam 1.1");

  while (jbi_get_note(FPGAdata, size, &offset, key, value, note_text_length) == JBI_RC_SUCCESS)
    std::printf("NOTE \"%s\" = \"%s\"\n", key, value);

  if (format_version == 2 && action_count > 0) list_actions(FPGAdata, size, action_count);
  std::fflush(stdout);

  const time_t start_time = std::time(nullptr);
  const int exec_result = jbi_execute(FPGAdata, size, action, init_list, 1, &error_address,
                                      &exit_code, &format_version);
  const time_t end_time = std::time(nullptr);
  jbi_last_download = {exec_result, exit_code, format_version};

  report_budget(exec_result);
  report_result(exec_result, format_version, exit_code, error_address, action);
  jbi_print_elapsed_time(end_time - start_time);
  std::fflush(stdout);

  return exec_result == JBI_RC_SUCCESS && exit_code == 0 ? JBI_DOWNLOAD_OK : JBI_DOWNLOAD_FAILED;
}

int FPGADownload(const unsigned char *FPGAdata, long FPGAdata_size, const char *action) {
  return jbi_download(FPGAdata, FPGAdata_size, action, nullptr);
}
