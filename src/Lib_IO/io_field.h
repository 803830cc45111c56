// The xaf motion-field file: 4-byte big-endian header (lines, columns), then the two components
// row-major as two-byte fixed-point codes (signed integer part moved one unit away from zero,
// then a fraction in units of 1/200).
#ifndef IO_FIELD_H
#define IO_FIELD_H

void write_field(const char* name_field, float* ima_u, float* ima_v, short nbcol, short nblig,
                 short* error);
void read_field(const char* name_field, float* field_u, float* field_v, short col, short lig,
                short* error);
void read_entete_field(const char* name_field, short* nbcol, short* nblig, short* error);

#endif
